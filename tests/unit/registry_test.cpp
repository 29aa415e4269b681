#include "framework/registry.h"
#include "platform/unique_fd.h"
#include "tests/support/fakes.h"
#include "tests/support/file_text.h"
#include "tests/support/log_lines.h"
#include "tests/support/raised_by.h"
#include "tests/support/watchdog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

using framework::RegistryException;
using framework::TRegistry;
using platform::RegistryValue;
using testsupport::MemoryRegistryHive;
using testsupport::RaisedBy;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

const std::string kKey = "SOFTWARE\\DOVETRA\\TAVRINCLIENT";

// The message of the accessor's exception that a call raised.
constexpr auto MessageOf = RaisedBy<RegistryException>;

RegistryValue Text(const std::string& text)
{
    return {platform::REG_SZ, text + '\0'};
}

// What a folder holds, hidden entries included.
QStringList Entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

class Accessor : public testing::Test {
protected:
    void SetUp() override { hive.keys.CreateKey(kKey); }

    void Store(const std::string& name, std::uint32_t type, const std::string& bytes)
    {
        hive.keys.SetValue(kKey, name, RegistryValue{type, bytes});
    }

    TRegistry Opened()
    {
        TRegistry registry(hive);
        EXPECT_TRUE(registry.OpenKey("\\" + kKey + "\\", false));
        return registry;
    }

    MemoryRegistryHive hive;
};

} // namespace

TEST_F(Accessor, TextAcceptsPlainAndExpandableUpToTheFirstZeroByte)
{
    Store("plain", platform::REG_SZ, std::string("127.0.0.1\0", 10));
    Store("expand", platform::REG_EXPAND_SZ, std::string("%HOME%\\x\0", 9));
    Store("cut", platform::REG_SZ, std::string("ab\0cd\0", 6));
    Store("unterminated", platform::REG_SZ, "abc");
    Store("empty", platform::REG_SZ, std::string("\0", 1));
    Store("size0", platform::REG_DWORD, "");
    TRegistry registry = Opened();
    EXPECT_EQ(registry.ReadString("plain"), "127.0.0.1");
    EXPECT_EQ(registry.ReadString("EXPAND"), "%HOME%\\x");
    EXPECT_EQ(registry.ReadString("cut"), "ab");
    EXPECT_EQ(registry.ReadString("unterminated"), "abc");
    EXPECT_EQ(registry.ReadString("empty"), "");
    EXPECT_EQ(registry.ReadString("size0"), "");
}

TEST_F(Accessor, TextRefusesOtherTypes)
{
    Store("x", platform::REG_DWORD, std::string("\x05\0\0\0", 4));
    Store("bin", platform::REG_BINARY, "ab");
    Store("multi", platform::REG_MULTI_SZ, std::string("a\0b\0\0", 5));
    TRegistry registry = Opened();
    EXPECT_EQ(MessageOf([&] { registry.ReadString("x"); }), "Invalid data type for 'x'");
    EXPECT_EQ(MessageOf([&] { registry.ReadString("bin"); }), "Invalid data type for 'bin'");
    EXPECT_EQ(MessageOf([&] { registry.ReadString("multi"); }), "Invalid data type for 'multi'");
    EXPECT_EQ(MessageOf([&] { registry.ReadString("absent"); }), "Failed to get data for 'absent'");
}

TEST_F(Accessor, IntegersAreDwordsOfAtMostFourBytes)
{
    Store("x", platform::REG_DWORD, std::string("\xf6\xff\xff\xff", 4));
    Store("short", platform::REG_DWORD, std::string("\x01\x02", 2));
    Store("text3", platform::REG_SZ, std::string("12\0", 3));
    Store("text5", platform::REG_SZ, std::string("1234\0", 5));
    Store("qword", platform::REG_QWORD, std::string(8, '\0'));
    Store("bin4", platform::REG_BINARY, std::string(4, '\0'));
    Store("long", platform::REG_DWORD, std::string(5, '\0'));
    TRegistry registry = Opened();
    EXPECT_EQ(registry.ReadInteger("x"), -10);
    EXPECT_EQ(registry.ReadInteger("short"), 0x0201);
    // The size is checked by the query, before the type.
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("text3"); }), "Invalid data type for 'text3'");
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("text5"); }), "Failed to get data for 'text5'");
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("qword"); }), "Failed to get data for 'qword'");
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("bin4"); }), "Invalid data type for 'bin4'");
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("long"); }), "Failed to get data for 'long'");
    EXPECT_EQ(MessageOf([&] { registry.ReadInteger("absent"); }), "Failed to get data for 'absent'");
}

TEST_F(Accessor, BooleansAreIntegersAndAnyNonZeroIsTrue)
{
    Store("two", platform::REG_DWORD, std::string("\x02\0\0\0", 4));
    Store("zero", platform::REG_DWORD, std::string(4, '\0'));
    Store("text", platform::REG_SZ, std::string("1\0", 2));
    TRegistry registry = Opened();
    EXPECT_TRUE(registry.ReadBool("two"));
    EXPECT_FALSE(registry.ReadBool("zero"));
    EXPECT_EQ(MessageOf([&] { registry.ReadBool("text"); }), "Invalid data type for 'text'");
    registry.WriteBool("two", true);
    EXPECT_EQ(hive.keys.Value(kKey, "two")->data, std::string("\x01\0\0\0", 4));
}

TEST_F(Accessor, AValueExistsWhateverItsTypeAndSize)
{
    Store("empty", platform::REG_NONE, "");
    Store("big", platform::REG_BINARY, std::string(100, 'x'));
    TRegistry registry = Opened();
    EXPECT_TRUE(registry.ValueExists("empty"));
    EXPECT_TRUE(registry.ValueExists("BIG"));
    EXPECT_FALSE(registry.ValueExists("absent"));
    TRegistry closed(hive);
    EXPECT_FALSE(closed.ValueExists("big"));
}

TEST_F(Accessor, WritesKeepTheirTypesAndReportFailuresByName)
{
    TRegistry registry = Opened();
    registry.WriteString("server", "10.0.0.1");
    registry.WriteInteger("y", -20);
    EXPECT_EQ(hive.keys.Value(kKey, "server")->type, platform::REG_SZ);
    EXPECT_EQ(hive.keys.Value(kKey, "server")->data, std::string("10.0.0.1\0", 9));
    EXPECT_EQ(hive.keys.Value(kKey, "y")->type, platform::REG_DWORD);
    EXPECT_EQ(registry.ReadInteger("y"), -20);
    hive.failWrites = true;
    EXPECT_EQ(MessageOf([&] { registry.WriteString("server", "x"); }), "Failed to set data for 'server'");
    EXPECT_EQ(MessageOf([&] { registry.WriteInteger("x", 1); }), "Failed to set data for 'x'");
}

TEST(AccessorKeys, OpensFromTheRootOrTheOpenKeyAndCreatesParents)
{
    MemoryRegistryHive hive;
    TRegistry registry(hive);
    EXPECT_FALSE(registry.OpenKey("\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\", false));
    EXPECT_TRUE(registry.OpenKey("\\SOFTWARE\\DOVETRA\\TAVRINCLIENT\\", true));
    EXPECT_TRUE(hive.keys.HasKey("software"));
    EXPECT_TRUE(hive.keys.HasKey("SOFTWARE\\DOVETRA"));
    EXPECT_TRUE(registry.OpenKey("Sub", true));
    EXPECT_TRUE(hive.keys.HasKey(kKey + "\\Sub"));
    hive.failWrites = true;
    TRegistry other(hive);
    EXPECT_FALSE(other.OpenKey("\\Elsewhere", true));
}

class HiveFile : public testing::Test {
protected:
    std::string Path() const { return dir.filePath("tavrin-client/user.reg").toStdString(); }

    QTemporaryDir dir;
};

TEST_F(HiveFile, KeepsEveryTypeAndByteThroughTheFile)
{
    platform::FileRegistryHive hive(Path());
    const std::vector<std::pair<std::string, RegistryValue>> values = {
        {"quoted", {platform::REG_SZ, std::string("say \"hi\" C:\\dir\0", 16)}},
        {"lines", {platform::REG_SZ, std::string("a\nb\0", 4)}},
        {"expand", {platform::REG_EXPAND_SZ, std::string("%HOME%\0", 7)}},
        {"negative", {platform::REG_DWORD, std::string("\xf6\xff\xff\xff", 4)}},
        {"short", {platform::REG_DWORD, std::string("\x01", 1)}},
        {"bin", {platform::REG_BINARY, std::string("\x00\xff\x10", 3)}},
        {"qword", {platform::REG_QWORD, std::string(8, '\x7f')}},
        {"", {platform::REG_SZ, std::string("default\0", 8)}},
    };
    ASSERT_TRUE(hive.CreateKey(kKey));
    for (const auto& [name, value] : values)
        ASSERT_TRUE(hive.SetValue(kKey, name, value)) << name;

    platform::FileRegistryHive reread(Path());
    for (const auto& [name, value] : values) {
        const auto stored = reread.QueryValue(kKey, name);
        ASSERT_TRUE(stored) << name;
        EXPECT_EQ(stored->type, value.type) << name;
        EXPECT_EQ(stored->data, value.data) << name;
    }
    const std::string text = ReadFile(Path());
    EXPECT_EQ(text.rfind("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\"negative\"=dword:fffffff6\n"), std::string::npos);
    EXPECT_NE(text.find("\"quoted\"=\"say \\\"hi\\\" C:\\\\dir\"\n"), std::string::npos);
}

TEST_F(HiveFile, ReadsWhatAPersonWrites)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(Path(), "REGEDIT4\r\n"
                      "; written by hand\r\n"
                      "\r\n"
                      "[hkey_current_user\\Software\\Dovetra\\TavrinClient]\r\n"
                      "  \"Server\" = \"192.168.1.5\"\r\n"
                      "\"chimes\"=dword:2\r\n"
                      "\"blob\"=hex:01,02,\\\r\n"
                      "  03,04\r\n"
                      "@=\"default\"\r\n");
    platform::FileRegistryHive hive(Path());
    ASSERT_TRUE(hive.KeyExists(kKey));
    EXPECT_EQ(hive.QueryValue(kKey, "server")->data, std::string("192.168.1.5\0", 12));
    EXPECT_EQ(hive.QueryValue(kKey, "CHIMES")->data, std::string("\x02\0\0\0", 4));
    EXPECT_EQ(hive.QueryValue(kKey, "blob")->data, "\x01\x02\x03\x04");
    EXPECT_EQ(hive.QueryValue(kKey, "")->data, std::string("default\0", 8));
}

TEST_F(HiveFile, ASaveKeepsOtherKeysAndValues)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(Path(),
              "REGEDIT4\n\n"
              "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n\"keep\"=\"me\"\n\n"
              "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"1.2.3.4\"\n\"extra\"=hex:ff\n");
    platform::FileRegistryHive hive(Path());
    ASSERT_TRUE(hive.SetValue(kKey, "server", {platform::REG_SZ, std::string("5.6.7.8\0", 8)}));
    ASSERT_TRUE(hive.SetValue(kKey, "x", {platform::REG_DWORD, std::string(4, '\0')}));
    EXPECT_EQ(hive.QueryValue("SOFTWARE\\Other", "keep")->data, std::string("me\0", 3));
    EXPECT_EQ(hive.QueryValue(kKey, "extra")->data, "\xff");
    EXPECT_EQ(hive.QueryValue(kKey, "server")->data, std::string("5.6.7.8\0", 8));
    EXPECT_TRUE(hive.QueryValue(kKey, "x"));
}

TEST_F(HiveFile, AFileThatCannotBeParsedIsReportedAndNeverOverwritten)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"REGEDIT4\n\"server\"=\"x\"\n", ":2: a value before the first [key]"},
        {"[HKEY_CURRENT_USER\\A]\n\"server\"=\"x\n", ":2: expected closing '\"'"},
        {"[HKEY_CURRENT_USER\\A]\n\n\"x\"=dword:123456789\n", ":3: expected up to 8 hex digits after dword:"},
        {"[HKEY_LOCAL_MACHINE\\A]\n", ":1: keys must lie under HKEY_CURRENT_USER"},
        {"[HKEY_CURRENT_USER\\A\n", ":1: expected ']' at the end of the key"},
        {"[HKEY_CURRENT_USER\\A]\n\"b\"=hex:1,2\n", ":2: expected two hex digits per byte"},
        {"[HKEY_CURRENT_USER\\A]\n\"b\"=\"x\" junk\n", ":2: unexpected text after the value"},
        {"[HKEY_CURRENT_USER\\A]\n\"b\"=\"\\n\"\n", ":2: only \\\\ and \\\" may be escaped in quotes"},
        {"[HKEY_CURRENT_USER\\A]\n\"b\"=-\n", ":2: deleting a value is not supported here"},
        {"[HKEY_CURRENT_USER\\A]\n\"b\"=text\n", ":2: expected a value"},
        {"\xFF\xFE"
         "R",
         ":1: UTF-16 text; save the file as UTF-8"}, // as a Windows export is
    };
    for (const auto& [text, fault] : broken) {
        WriteFile(Path(), text);
        platform::FileRegistryHive hive(Path());
        try {
            hive.SetValue(kKey, "server", {platform::REG_SZ, std::string("y\0", 2)});
            ADD_FAILURE() << "accepted: " << text;
        } catch (const platform::HiveFormatError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(Path() + fault, 0), 0u) << error.what();
        }
        EXPECT_EQ(ReadFile(Path()), text);
    }
}

TEST_F(HiveFile, TheAccessorReportsTheFaultWithPathAndLine)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(Path(), "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE]\nnonsense\n");
    platform::FileRegistryHive hive(Path());
    TRegistry registry(hive);
    EXPECT_EQ(MessageOf([&] { registry.OpenKey("\\SOFTWARE", false); }), Path() + ":3: expected '\"'");
}

TEST_F(HiveFile, ASaveThatFailsHalfWayLeavesThePreviousFile)
{
    platform::FileRegistryHive hive(Path());
    ASSERT_TRUE(hive.SetValue(kKey, "server", {platform::REG_SZ, std::string("keep\0", 5)}));
    const std::string before = ReadFile(Path());

    // A file size limit makes the write fail part-way, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = before.size() + 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const bool stored = hive.SetValue(kKey, "big", {platform::REG_BINARY, std::string(4096, 'x')});
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(stored);
    EXPECT_EQ(ReadFile(Path()), before);
    EXPECT_EQ(QDir(dir.filePath("tavrin-client")).entryList(QDir::Files), QStringList({"user.reg", "user.reg.lock"}));
}

TEST_F(HiveFile, SavesAtTheSameTimeLoseNothing)
{
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            platform::FileRegistryHive hive(Path()); // its own file handles, like another program
            for (int i = 0; i < kValuesEach; ++i)
                hive.SetValue(kKey, "w" + std::to_string(w) + "v" + std::to_string(i),
                              {platform::REG_DWORD, std::string(4, static_cast<char>(i))});
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    platform::FileRegistryHive hive(Path());
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValuesEach; ++i)
            EXPECT_TRUE(hive.QueryValue(kKey, "w" + std::to_string(w) + "v" + std::to_string(i)));
}

TEST_F(HiveFile, ASaveKeepsCommentsBlankLinesAndUntouchedValuesInPlace)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(Path(), "REGEDIT4\n"
                      "; the office's time server\n"
                      "\n"
                      "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"
                      "; the GPS box\n"
                      "\"server\"=\"10.0.0.1\"\n"
                      "\n"
                      "  \"Chimes\" = dword:1\n"
                      "; end of the client's values\n"
                      "\n"
                      "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n"
                      "\"keep\"=\"me\""); // no line end at the end
    platform::FileRegistryHive hive(Path(), {});
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("10.0.0.2")}, {"x", Text("new")}}));
    ASSERT_TRUE(hive.SetValues("SOFTWARE\\Third", {{"v", Text("3")}}));
    EXPECT_EQ(ReadFile(Path()), "REGEDIT4\n"
                                "; the office's time server\n"
                                "\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"
                                "; the GPS box\n"
                                "\"server\"=\"10.0.0.2\"\n"
                                "\n"
                                "  \"Chimes\" = dword:1\n"
                                "\"x\"=\"new\"\n"
                                "; end of the client's values\n"
                                "\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n"
                                "\"keep\"=\"me\"\n"
                                "\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\Third]\n"
                                "\"v\"=\"3\"\n");
}

TEST_F(HiveFile, AByteOrderMarkAndWindowsLineEndsAreReadAndKept)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    WriteFile(Path(), "\xEF\xBB\xBFREGEDIT4\r\n"
                      "; from Notepad\r\n"
                      "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\r\n"
                      "\"server\"=\"10.0.0.1\"\r\n");
    platform::FileRegistryHive hive(Path(), {});
    EXPECT_EQ(hive.QueryValue(kKey, "server")->data, Text("10.0.0.1").data);
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("10.0.0.2")}, {"x", Text("1")}}));
    EXPECT_EQ(ReadFile(Path()), "\xEF\xBB\xBFREGEDIT4\r\n"
                                "; from Notepad\r\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\r\n"
                                "\"server\"=\"10.0.0.2\"\r\n"
                                "\"x\"=\"1\"\r\n");
}

TEST_F(HiveFile, ASymbolicLinkStaysAndItsTargetGetsTheValues)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    QDir().mkpath(dir.filePath("dotfiles"));
    const std::string target = dir.filePath("dotfiles/tavrin.reg").toStdString();
    WriteFile(target,
              "REGEDIT4\n; kept in git\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"1\"\n");
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    ASSERT_EQ(symlink("../dotfiles/tavrin.reg", Path().c_str()), 0);
    const auto linkText = [this] {
        char text[256] = {};
        return readlink(Path().c_str(), text, sizeof text - 1) > 0 ? std::string(text) : std::string("<no link>");
    };

    platform::FileRegistryHive hive(Path(), {});
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("2")}}));
    EXPECT_EQ(linkText(), "../dotfiles/tavrin.reg");
    EXPECT_EQ(ReadFile(target),
              "REGEDIT4\n; kept in git\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"2\"\n");
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(Entries(dir.filePath("dotfiles")), QStringList({"tavrin.reg"})); // no temporary file left
    EXPECT_EQ(Entries(dir.filePath("tavrin-client")), QStringList({"user.reg", "user.reg.lock"}));

    // A link whose target is gone gets the target back.
    ASSERT_EQ(unlink(target.c_str()), 0);
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("3")}}));
    EXPECT_EQ(linkText(), "../dotfiles/tavrin.reg");
    EXPECT_EQ(platform::FileRegistryHive(target, {}).QueryValue(kKey, "server")->data, Text("3").data);
}

TEST_F(HiveFile, WhatIsNotASmallRegularFileIsRefusedBeforeItIsRead)
{
    const testsupport::Watchdog watchdog(std::chrono::seconds(30)); // a FIFO must never hang the start
    QDir().mkpath(dir.filePath("tavrin-client"));
    const std::string fifo = dir.filePath("fifo").toStdString();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = dir.filePath("big.reg").toStdString();
    WriteFile(big, "REGEDIT4\n;" + std::string(2 << 20, 'x') + "\n"); // a comment, harmless but for its size
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/dev/zero", "refused: a character device, not a regular file"},
        {fifo, "refused: a FIFO, not a regular file"},
        {big, "refused: 2097163 bytes, larger than 1 MiB"},
        {dir.path().toStdString(), "refused: a folder, not a regular file"},
    };
    constexpr auto FaultOf = RaisedBy<platform::HiveFormatError>;
    for (const auto& [target, reason] : cases) {
        QFile::remove(QString::fromStdString(Path()));
        ASSERT_EQ(symlink(target.c_str(), Path().c_str()), 0);
        platform::FileRegistryHive hive(Path(), {});
        EXPECT_EQ(FaultOf([&] { hive.KeyExists(kKey); }), Path() + ": " + reason);
        EXPECT_EQ(FaultOf([&] { hive.SetValue(kKey, "server", Text("x")); }), Path() + ": " + reason);
        EXPECT_EQ(QFileInfo(QString::fromStdString(Path())).symLinkTarget().toStdString(), target);
    }
    EXPECT_EQ(QFileInfo(QString::fromStdString(big)).size(), 2097163);
}

TEST_F(HiveFile, NothingIsMadeOrReplacedInTheFoldersOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    constexpr uid_t kOther = 54321;
    const QString home = dir.filePath("home");

    // Run as root with the user's HOME: the user's own file is read, and never replaced.
    const QString folder = home + "/.config/tavrin-client";
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::string text = "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"10.0.0.1\"\n";
    WriteFile((folder + "/user.reg").toStdString(), text);
    for (const QString& path : {home, home + "/.config", folder, folder + "/user.reg"})
        ASSERT_EQ(chown(path.toLocal8Bit().constData(), kOther, kOther), 0);
    platform::FileRegistryHive own((folder + "/user.reg").toStdString(), {});
    EXPECT_EQ(own.QueryValue(kKey, "server")->data, Text("10.0.0.1").data);
    EXPECT_THAT(own.WriteRefusal(), testing::StartsWith(folder.toStdString() + " belongs to "));
    EXPECT_FALSE(own.SetValue(kKey, "server", Text("x")));
    EXPECT_EQ(ReadFile((folder + "/user.reg").toStdString()), text);
    EXPECT_EQ(Entries(folder), QStringList({"user.reg"}));

    // A sticky folder such as /tmp is shared by design: what one makes there stays one's own.
    const QString shared = dir.filePath("shared");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(chown(shared.toLocal8Bit().constData(), kOther, kOther), 0);
    ASSERT_EQ(chmod(shared.toLocal8Bit().constData(), 01777), 0);
    platform::FileRegistryHive inShared((shared + "/config/tavrin-client/user.reg").toStdString(), {});
    EXPECT_EQ(inShared.WriteRefusal(), "");
    EXPECT_TRUE(inShared.SetValue(kKey, "server", Text("x")));
}

TEST_F(HiveFile, DefaultsServeUntilTheUserHasAFileAndStartIt)
{
    const auto defaultsIn = [this](const char* folder) {
        return dir.filePath(folder).toStdString() + "/tavrin-client/user.reg";
    };
    QDir().mkpath(dir.filePath("broken/tavrin-client"));
    QDir().mkpath(dir.filePath("site/tavrin-client"));
    QDir().mkpath(dir.filePath("vendor/tavrin-client"));
    ASSERT_EQ(mkfifo(defaultsIn("broken").c_str(), 0600), 0); // skipped, at once
    const std::string site = "REGEDIT4\n; set by the administrator\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"
                             "\"server\"=\"10.1.1.1\"\n\"maxstep\"=dword:0000003c\n";
    WriteFile(defaultsIn("site"), site);
    WriteFile(defaultsIn("vendor"), "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"10.2.2.2\"\n");
    const std::vector<std::string> defaults = {defaultsIn("missing"), defaultsIn("broken"), defaultsIn("site"),
                                               defaultsIn("vendor")};

    platform::FileRegistryHive hive(Path(), defaults);
    EXPECT_TRUE(hive.KeyExists(kKey));
    EXPECT_EQ(hive.QueryValue(kKey, "server")->data, Text("10.1.1.1").data);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Path()))); // reading makes no file

    // The first save starts the user's file from all of the defaults.
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("10.3.3.3")}}));
    EXPECT_EQ(ReadFile(Path()), "REGEDIT4\n; set by the administrator\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"
                                "\"server\"=\"10.3.3.3\"\n\"maxstep\"=dword:0000003c\n");
    EXPECT_EQ(ReadFile(defaultsIn("site")), site);

    // From then on the defaults are not read: a value taken out of the user's file stays out.
    WriteFile(Path(), "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"x\"=dword:00000001\n");
    platform::FileRegistryHive later(Path(), defaults);
    EXPECT_FALSE(later.QueryValue(kKey, "server"));
    EXPECT_FALSE(later.QueryValue(kKey, "maxstep"));
}

TEST_F(HiveFile, WhatASaveWritesReadsBackWithEveryValue)
{
    // Files a person or another program may leave, each with a save of the window's values
    // and of a key the file lacks. Read back, the saved text must hold what was saved.
    const std::vector<std::string> texts = {
        "REGEDIT4\r\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\r\n\"server\"=\"10.0.0.1\"\r", // "\n" lost
        "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n\"server\"=\"10.0.0.1\"\r",
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\r\n\"x\"=dword:00000001\r\n\r",
        "\xEF\xBB\xBFREGEDIT4\r\n; ends in a backslash \\",
        "[hkey_current_user\\software\\\\dovetra\\TavrinClient\\]\n\"Server\" = hex(1):61,\\\n  0d,62,00\n; end",
        "[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n; swallows the next line \\\n\"server\"=\"1\"",
        "",
    };
    const platform::NamedValues saved = {{"server", Text("a\rb \"c\" \\")},
                                         {"chimes", {platform::REG_DWORD, std::string("\x01\0\0\0", 4)}},
                                         {"x", {platform::REG_DWORD, std::string("\xf6\xff\xff\xff", 4)}}};
    QDir().mkpath(dir.filePath("tavrin-client"));
    for (const std::string& text : texts) {
        WriteFile(Path(), text);
        platform::RegistryKeys expected = platform::RegistryKeys::Parse(text, Path());
        platform::FileRegistryHive hive(Path(), {});
        ASSERT_TRUE(hive.SetValues(kKey, saved)) << text;
        ASSERT_TRUE(hive.SetValues("SOFTWARE\\Other", {{"v", Text("new")}})) << text;
        for (const auto& [name, value] : saved)
            expected.SetValue(kKey, name, value);
        expected.SetValue("SOFTWARE\\Other", "v", Text("new"));

        const std::string written = ReadFile(Path());
        try {
            EXPECT_TRUE(platform::RegistryKeys::Parse(written, Path()) == expected) << written;
        } catch (const platform::HiveFormatError& error) {
            ADD_FAILURE() << error.what() << " in:\n" << written;
        }
        platform::FileRegistryHive next(Path(), {}); // the next start
        for (const auto& [name, value] : saved)
            EXPECT_EQ(next.QueryValue(kKey, name), std::optional<RegistryValue>(value)) << name << " in:\n" << written;
    }
}

TEST_F(HiveFile, ALockLetGoWhileASaveWaitsLetsTheSaveThrough)
{
    const testsupport::Watchdog watchdog(std::chrono::seconds(10));
    platform::FileRegistryHive hive(Path(), {});
    ASSERT_TRUE(hive.SetValues(kKey, {{"server", Text("10.0.0.1")}}));
    const std::string lockPath = Path() + ".lock";
    platform::UniqueFd other(open(lockPath.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(flock(other.Get(), LOCK_EX), 0);
    const auto lockFilesOpen = [&] {
        int count = 0;
        std::error_code ignored; // a descriptor closed meanwhile
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
            count += std::filesystem::read_symlink(fd.path(), ignored) == lockPath;
        return count;
    };

    bool stored = false;
    std::thread saver([&] {
        try {
            stored = hive.SetValues(kKey, {{"server", Text("10.0.0.2")}});
        } catch (const platform::HiveBusyError&) {
        }
    });
    // Once the saver has the lock file open, it is asking for the lock; then it is let go.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (lockFilesOpen() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(lockFilesOpen(), 2);
    other.Reset();
    saver.join();
    EXPECT_TRUE(stored);
    EXPECT_EQ(platform::FileRegistryHive(Path(), {}).QueryValue(kKey, "server"), std::optional(Text("10.0.0.2")));
}

TEST_F(HiveFile, AFailedSaveNamesTheSystemsReasonInTheLog)
{
    QDir().mkpath(dir.filePath("tavrin-client"));
    const std::string folder = dir.filePath("tavrin-client").toStdString();
    const std::string elsewhere = dir.filePath("elsewhere").toStdString();
    const std::string notAFolder = dir.filePath("file").toStdString();
    WriteFile(notAFolder, "");
    struct Case {
        std::string hive;
        std::function<void()> prepare;
        std::string logged;
    };
    const std::vector<Case> cases = {
        // A lock file that is a link is not followed: its target is never made.
        {Path(), [&] { ASSERT_EQ(symlink(elsewhere.c_str(), (Path() + ".lock").c_str()), 0); },
         "cannot open " + Path() + ".lock: Too many levels of symbolic links"},
        {notAFolder + "/user.reg", [] {}, "cannot open " + notAFolder + "/user.reg.lock: Not a directory"},
        // The settings file links into a folder that is not there.
        {Path(), [&] { ASSERT_EQ(symlink((elsewhere + "/user.reg").c_str(), Path().c_str()), 0); },
         "cannot make a file in " + elsewhere + ": No such file or directory"},
    };
    for (const Case& failure : cases) {
        for (const QString& entry : Entries(QString::fromStdString(folder)))
            QFile::remove(QString::fromStdString(folder) + "/" + entry);
        failure.prepare();
        platform::FileRegistryHive hive(failure.hive, {});
        const testsupport::LogLines log("tavrin.settings");
        EXPECT_FALSE(hive.SetValues(kKey, {{"server", Text("x")}})) << failure.logged;
        EXPECT_EQ(log.Texts(), std::vector<std::string>({"settings not saved: " + failure.logged}));
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(elsewhere)));
    }

    // The disk fills half-way, as a file size limit makes it.
    QFile::remove(QString::fromStdString(Path()));
    platform::FileRegistryHive hive(Path(), {});
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny = old;
    tiny.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const testsupport::LogLines log("tavrin.settings");
    const bool stored = hive.SetValue(kKey, "big", {platform::REG_BINARY, std::string(4096, 'x')});
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(stored);
    ASSERT_EQ(log.Texts().size(), 1u);
    EXPECT_THAT(log.Texts()[0],
                testing::MatchesRegex("settings not saved: cannot write .*/user\\.reg\\.[A-Za-z0-9]{6}: "
                                      "File too large"));
}

TEST(HiveLocation, DefaultsFollowXdgConfigDirs)
{
    qputenv("XDG_CONFIG_DIRS", "/site/xdg:relative/ignored::/vendor/xdg/");
    EXPECT_EQ(platform::FileRegistryHive::DefaultsPaths(),
              std::vector<std::string>({"/site/xdg/tavrin-client/user.reg", "/vendor/xdg/tavrin-client/user.reg"}));
    qunsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(platform::FileRegistryHive::DefaultsPaths(),
              std::vector<std::string>({"/etc/xdg/tavrin-client/user.reg"}));
}

TEST(HiveLocation, FollowsXdgConfigHome)
{
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(platform::FileRegistryHive::DefaultPath(), "/somewhere/config/tavrin-client/user.reg");
    qputenv("XDG_CONFIG_HOME", "relative/is/ignored");
    qputenv("HOME", "/home/someone");
    EXPECT_EQ(platform::FileRegistryHive::DefaultPath(), "/home/someone/.config/tavrin-client/user.reg");
}
