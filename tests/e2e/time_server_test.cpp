// tavrin-time-server as the client meets it: the test sends requests, listens on the reply
// port, and receives the status datagrams, all on loopback at ports the system picked.

#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::MatchesRegex;
using testsupport::ChildProcess;
using testsupport::LoopbackPeer;

namespace {

const std::string kServer = TAVRIN_TIME_SERVER;

std::string Joined(const std::vector<std::string>& reads)
{
    return std::accumulate(reads.begin(), reads.end(), std::string());
}

// The server's clock: time() reads a coarser one, which may still show the second before
// right after a boundary the server has passed.
std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Connects to 127.0.0.1:`port` and writes `pieces` one by one, `pause` between them.
LoopbackPeer ConnectAndSend(int port, const std::vector<std::string>& pieces,
                            std::chrono::milliseconds pause = std::chrono::milliseconds(0))
{
    LoopbackPeer request = LoopbackPeer::ConnectedTo(port);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(pause); // so that the pieces arrive apart
        request.Send(pieces[i]);
    }
    return request;
}

class TimeServer : public testing::Test {
protected:
    // Starts the server answering on this test's reply port, with `options` added.
    void Start(std::vector<std::string> options = {})
    {
        std::vector<std::string> command = {
            kServer, "--listen-port", "0", "--reply-port", std::to_string(replies.LocalPort()), "--status-interval",
            "0"};
        command.insert(command.end(), options.begin(), options.end());
        server = std::make_unique<ChildProcess>(command);
        const std::optional<std::string> first = server->ReadLine();
        ASSERT_TRUE(first) << server->Errors();
        std::smatch match;
        ASSERT_TRUE(std::regex_search(*first, match, std::regex("^listening on 127\\.0\\.0\\.1:([0-9]+),"))) << *first;
        requestPort = std::stoi(match[1]);
    }

    // The next line of the server's output that holds `text`; empty when none comes.
    std::string LineWith(const std::string& text)
    {
        while (const std::optional<std::string> line = server->ReadLine())
            if (line->find(text) != std::string::npos)
                return *line;
        return {};
    }

    // Sends `request` and returns what arrives on the reply connection, read by read.
    std::vector<std::string> Ask(const std::vector<std::string>& request, std::chrono::milliseconds pause = 0ms)
    {
        ConnectAndSend(requestPort, request, pause);
        LoopbackPeer reply = replies.Accept();
        if (!reply) {
            ADD_FAILURE() << "no reply connection; the server said:\n" << server->Output() << server->Errors();
            return {};
        }
        return reply.ReadsUntilClosed();
    }

    LoopbackPeer replies = LoopbackPeer::Listening();
    std::unique_ptr<ChildProcess> server;
    int requestPort = 0;
};

} // namespace

TEST_F(TimeServer, AnswersARequestOnANewConnectionWithOneFrameOfItsOwnTime)
{
    Start();
    const std::int64_t before = Now();
    const std::string reply = Joined(Ask({"{0042TavrinClient1010}"}));
    const std::int64_t after = Now();

    std::smatch match;
    ASSERT_TRUE(std::regex_match(reply, match, std::regex("\\{TAVRIN_1,0,2,0042([0-9]+)\\}"))) << reply;
    const std::int64_t seconds = std::stoll(match[1]);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);

    EXPECT_THAT(LineWith("request from"),
                MatchesRegex("request from 127\\.0\\.0\\.1:[0-9]+: \\{0042TavrinClient1010\\}"));
    EXPECT_EQ(LineWith("reply to"), "reply to 127.0.0.1:" + std::to_string(replies.LocalPort()) + ": " + reply);
}

TEST_F(TimeServer, EchoesEachRequestsCodeAsTheClientWillReadIt)
{
    Start();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"9999", "9999"}, {"0000", "0000"}, {"0007", "0007"}, {"000-12", "-012"}, {"-999", "-999"}};
    for (const auto& [sent, echoed] : cases) {
        const std::string reply = Joined(Ask({"{" + sent + "TavrinClient1010}"}));
        EXPECT_THAT(reply, MatchesRegex("\\{TAVRIN_1,0,2," + echoed + "[0-9]+\\}")) << sent;
    }
}

TEST_F(TimeServer, SendsTheSourceStateOffsetAndFixedEchoCodeItIsGiven)
{
    Start({"--source", "3", "--state=0", "--offset", "-100000", "--echo-code", "0x1z"});
    const std::int64_t before = Now();
    const std::string reply = Joined(Ask({"{0042TavrinClient1010}"}));
    const std::int64_t after = Now();

    std::smatch match;
    ASSERT_TRUE(std::regex_match(reply, match, std::regex("\\{TAVRIN_3,0,0,0x1z([0-9]+)\\}"))) << reply;
    const std::int64_t seconds = std::stoll(match[1]);
    EXPECT_GE(seconds, before - 100000);
    EXPECT_LE(seconds, after - 100000);
}

TEST_F(TimeServer, PutsARequestArrivingInPiecesTogether)
{
    Start();
    const std::string reply = Joined(Ask({"{00", "42TavrinCl", "ient1010}"}, 30ms));
    EXPECT_THAT(reply, MatchesRegex("\\{TAVRIN_1,0,2,0042[0-9]+\\}"));
}

TEST_F(TimeServer, RejectsWhatIsNoRequestAndGoesOnServing)
{
    Start();
    ConnectAndSend(requestPort, {"hello}"});
    EXPECT_THAT(LineWith("rejected"), HasSubstr("\"hello}\" (not a request)"));
    ConnectAndSend(requestPort, {"{12345TavrinClient1010}"});
    EXPECT_THAT(LineWith("rejected"), HasSubstr("(echo code out of range)"));
    ConnectAndSend(requestPort, {"{0042Tav\x01"}); // closed before its "}"
    EXPECT_THAT(LineWith("rejected"), HasSubstr("\"{0042Tav\\x01\" (ended before its '}')"));
    const auto longJunk = ConnectAndSend(requestPort, {std::string(100, 'x')});
    EXPECT_THAT(LineWith("rejected"), HasSubstr("(too long)"));

    // None of them was answered: the first reply connection carries the good request's code.
    EXPECT_THAT(Joined(Ask({"{0007TavrinClient1010}"})), MatchesRegex("\\{TAVRIN_1,0,2,0007[0-9]+\\}"));
}

TEST_F(TimeServer, AnswersRequestsThatArriveTogether)
{
    Start();
    std::vector<LoopbackPeer> requests;
    for (int code = 1; code <= 5; ++code)
        requests.push_back(ConnectAndSend(requestPort, {"{000" + std::to_string(code) + "TavrinClient1010}"}));

    std::set<std::string> echoed;
    for (int i = 0; i < 5; ++i) {
        LoopbackPeer reply = replies.Accept();
        ASSERT_TRUE(reply) << server->Output();
        const std::string frame = Joined(reply.ReadsUntilClosed());
        ASSERT_THAT(frame, MatchesRegex("\\{TAVRIN_1,0,2,000[1-5][0-9]+\\}"));
        echoed.insert(frame.substr(14, 4));
    }
    EXPECT_EQ(echoed, (std::set<std::string>{"0001", "0002", "0003", "0004", "0005"}));
}

TEST_F(TimeServer, ReadsOnlyOneRequestPerConnection)
{
    Start();
    const std::string reply = Joined(Ask({"{0001TavrinClient1010}{0002TavrinClient1010}"}));
    EXPECT_THAT(reply, MatchesRegex("\\{TAVRIN_1,0,2,0001[0-9]+\\}"));
    // The marker: the next reply is the next request's, not a second one to the first.
    EXPECT_THAT(Joined(Ask({"{0003TavrinClient1010}"})), MatchesRegex("\\{TAVRIN_1,0,2,0003[0-9]+\\}"));
}

TEST_F(TimeServer, SendsSeveralFramesInOneReplyWhenAsked)
{
    Start({"--frames", "3"});
    const std::string reply = Joined(Ask({"{0042TavrinClient1010}"}));
    std::smatch match;
    ASSERT_TRUE(std::regex_match(reply, match, std::regex("(\\{TAVRIN_1,0,2,0042[0-9]+\\})\\1\\1"))) << reply;
}

TEST_F(TimeServer, SplitsTheFrameAcrossTwoWritesWhenAsked)
{
    Start({"--split"});
    const std::vector<std::string> reads = Ask({"{0042TavrinClient1010}"});
    ASSERT_EQ(reads.size(), 2u) << testing::PrintToString(reads);
    EXPECT_EQ(reads[0].find('}'), std::string::npos);
    EXPECT_THAT(reads[0] + reads[1], MatchesRegex("\\{TAVRIN_1,0,2,0042[0-9]+\\}"));
    EXPECT_THAT(LineWith("reply to"), HasSubstr("(in two writes)"));
}

TEST_F(TimeServer, SendsRawTextInsteadOfAFrameWhenAsked)
{
    Start({"--raw", "{TAVRIN_1,0,2,0042}", "--frames=2"});
    EXPECT_EQ(Joined(Ask({"{0042TavrinClient1010}"})), "{TAVRIN_1,0,2,0042}{TAVRIN_1,0,2,0042}");
}

TEST_F(TimeServer, AnEmptyRawReplyIsAConnectionClosedWithoutAByte)
{
    Start({"--raw="});
    EXPECT_THAT(Ask({"{0042TavrinClient1010}"}), testing::IsEmpty());
}

TEST_F(TimeServer, NeverConnectsBackWhenToldNotToReply)
{
    Start({"--no-reply"});
    ConnectAndSend(requestPort, {"{0042TavrinClient1010}"});
    EXPECT_THAT(LineWith("request from"), HasSubstr("(not answered: --no-reply)"));
    // The marker: a second request is taken only once the first is done with.
    ConnectAndSend(requestPort, {"{0043TavrinClient1010}"});
    EXPECT_THAT(LineWith("request from"), HasSubstr("{0043TavrinClient1010} (not answered: --no-reply)"));
    EXPECT_FALSE(replies.Accept(0ms));
}

TEST_F(TimeServer, ClosesRequestConnectionsUnreadWhenAsked)
{
    Start({"--close-at-once"});
    LoopbackPeer request = ConnectAndSend(requestPort, {});
    EXPECT_TRUE(request.SeesClose());
    EXPECT_THAT(LineWith("closed"), MatchesRegex("closed the connection from 127\\.0\\.0\\.1:[0-9]+ unread .*"));
    // The marker: a second connection is taken only once the first is done with.
    LoopbackPeer marker = ConnectAndSend(requestPort, {"{0043TavrinClient1010}"});
    EXPECT_TRUE(marker.SeesClose());
    EXPECT_THAT(LineWith("closed"), HasSubstr("unread"));
    EXPECT_FALSE(replies.Accept(0ms));
}

TEST_F(TimeServer, RepliesOnlyAfterTheDelayItIsGiven)
{
    Start({"--reply-delay", "0.3"});
    const auto sent = std::chrono::steady_clock::now();
    ConnectAndSend(requestPort, {"{0042TavrinClient1010}"});
    LoopbackPeer reply = replies.Accept();
    ASSERT_TRUE(reply);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
    EXPECT_THAT(Joined(reply.ReadsUntilClosed()), MatchesRegex("\\{TAVRIN_1,0,2,0042[0-9]+\\}"));
}

TEST_F(TimeServer, WritesEachReplyAtTheGivenPointOfTheSecond)
{
    Start({"--phase", "0.2,0.5", "--replies", "3"});
    ConnectAndSend(requestPort, {"{0042TavrinClient1010}"});
    for (int reply = 0; reply < 3; ++reply) {
        LoopbackPeer connection = replies.Accept();
        ASSERT_TRUE(connection) << server->Output();
        const std::string frame = Joined(connection.ReadsUntilClosed());
        timespec arrived{};
        clock_gettime(CLOCK_REALTIME, &arrived);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(frame, match, std::regex("\\{TAVRIN_1,0,2,0042([0-9]+)\\}"))) << frame;
        // Written 0.2 s, then 0.5 s into the second it carries; read here a little later.
        const long phase = reply == 0 ? 200'000'000 : 500'000'000;
        EXPECT_EQ(std::stoll(match[1]), arrived.tv_sec) << reply;
        EXPECT_GE(arrived.tv_nsec, phase) << reply;
        EXPECT_LT(arrived.tv_nsec, phase + 200'000'000) << reply;
    }
}

TEST_F(TimeServer, AnswersOneRequestWithSeveralRepliesInAFastRun)
{
    Start({"--replies", "4", "--reply-interval", "0.01"});
    for (const std::string echo : {"0042", "0043"}) {
        // The second request is the marker: a fifth reply to the first would come before the
        // last of its own.
        ConnectAndSend(requestPort, {"{" + echo + "TavrinClient1010}"});
        for (int reply = 0; reply < 4; ++reply) {
            LoopbackPeer connection = replies.Accept();
            ASSERT_TRUE(connection) << "the server said:\n" << server->Output();
            EXPECT_THAT(Joined(connection.ReadsUntilClosed()), MatchesRegex("\\{TAVRIN_1,0,2," + echo + "[0-9]+\\}"));
        }
    }
}

TEST_F(TimeServer, ReportsAClientThatCannotBeReachedAndGoesOn)
{
    const int closedPort = testsupport::UnusedPort();
    Start({"--reply-port", std::to_string(closedPort)});
    ConnectAndSend(requestPort, {"{0042TavrinClient1010}"});
    EXPECT_EQ(LineWith("no reply to"), "no reply to 127.0.0.1:" + std::to_string(closedPort) + ": Connection refused");
    ConnectAndSend(requestPort, {"{0043TavrinClient1010}"});
    EXPECT_THAT(LineWith("request from"), HasSubstr("{0043TavrinClient1010}"));
}

TEST_F(TimeServer, SendsStatusDatagramsToTheGroupByTheLoopbackInterface)
{
    testsupport::MulticastReceiver group;
    Start({"--status-interval", "0.1", "--group-port", std::to_string(group.Port()), "--source", "3", "--state", "0"});
    for (int i = 0; i < 2; ++i) {
        const auto datagram = group.Receive();
        ASSERT_TRUE(datagram) << server->Output();
        EXPECT_EQ(datagram->bytes, "3,0,0");
        EXPECT_EQ(datagram->sender, "127.0.0.1");
    }
    EXPECT_EQ(LineWith("status to"), "status to 224.0.0.1:" + std::to_string(group.Port()) + ": 3,0,0");
}

TEST_F(TimeServer, EndsCleanlyOnSigterm)
{
    Start();
    server->Signal(SIGTERM);
    ASSERT_TRUE(server->WaitForExit());
    EXPECT_EQ(server->ExitCode(), 0);
    EXPECT_THAT(server->Output(), testing::EndsWith("stopped\n"));
}

TEST_F(TimeServer, SaysSoWhenItsPortIsTaken)
{
    const LoopbackPeer taken = LoopbackPeer::Listening();
    ChildProcess blocked({kServer, "--listen-port", std::to_string(taken.LocalPort()), "--status-interval", "0"});
    ASSERT_TRUE(blocked.WaitForExit());
    EXPECT_EQ(blocked.ExitCode(), 1);
    EXPECT_EQ(blocked.Errors(), "tavrin-time-server: cannot listen on 127.0.0.1:" + std::to_string(taken.LocalPort())
                                    + ": Address already in use\n");
}

TEST(TimeServerCommandLine, HelpAndBadOptions)
{
    ChildProcess help({kServer, "--help"});
    ASSERT_TRUE(help.WaitForExit());
    EXPECT_EQ(help.ExitCode(), 0);
    EXPECT_THAT(help.Output(), testing::StartsWith("Usage: tavrin-time-server"));

    ChildProcess bad({kServer, "--state", "x"});
    ASSERT_TRUE(bad.WaitForExit());
    EXPECT_EQ(bad.ExitCode(), 2);
    EXPECT_EQ(bad.Errors(),
              "tavrin-time-server: bad value 'x' for --state: expected one digit from 0 to 9 (try --help)\n");
    EXPECT_EQ(bad.Output(), "");
}
