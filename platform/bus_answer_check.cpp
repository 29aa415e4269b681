#include "platform/bus_answer_check.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace platform {
namespace {

constexpr char kWellKnownSystemBus[] = "unix:path=/var/run/dbus/system_bus_socket";

// A value of an address, with its %xx escapes undone; empty when an escape is broken.
std::string Unescaped(const std::string& value)
{
    std::string bytes;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            bytes += value[i];
            continue;
        }
        if (i + 2 >= value.size())
            return {};
        const std::string hex = value.substr(i + 1, 2);
        char* end = nullptr;
        const long byte = std::strtol(hex.c_str(), &end, 16);
        if (end != hex.c_str() + 2)
            return {};
        bytes += static_cast<char>(byte);
        i += 2;
    }
    return bytes;
}

// The first greeting of every client: Hello to the bus itself, the only call it answers
// before the client has a name. Little-endian, serial 1, no body.
std::string HelloMessage()
{
    auto appendUint32 = [](std::string& to, std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            to += static_cast<char>((value >> shift) & 0xFF);
    };
    // The header fields: an array of (byte, variant) structures, each starting on 8 bytes;
    // the array starts at offset 16, so offsets within it align as the message does.
    std::string fields;
    auto field = [&](char code, char type, const std::string& value) {
        while (fields.size() % 8 != 0)
            fields += '\0';
        fields += code;
        fields += std::string{'\1', type, '\0'}; // the variant's signature
        appendUint32(fields, static_cast<std::uint32_t>(value.size()));
        fields += value;
        fields += '\0';
    };
    field(1, 'o', "/org/freedesktop/DBus");     // path
    field(6, 's', "org.freedesktop.DBus");      // destination
    field(2, 's', "org.freedesktop.DBus");      // interface
    field(3, 's', "Hello");                     // member
    std::string message{'l', '\1', '\0', '\1'}; // little-endian method call, protocol 1
    appendUint32(message, 0);                   // body length
    appendUint32(message, 1);                   // serial
    appendUint32(message, static_cast<std::uint32_t>(fields.size()));
    message += fields;
    while (message.size() % 8 != 0)
        message += '\0';
    return message;
}

// SASL EXTERNAL: the bus takes our identity from the socket's credentials; we name our
// user id, in hexadecimal digits of its decimal text.
std::string AuthenticationRequest()
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (const char digit : std::to_string(getuid())) {
        id += kHex[static_cast<unsigned char>(digit) >> 4];
        id += kHex[static_cast<unsigned char>(digit) & 0xF];
    }
    return std::string(1, '\0') + "AUTH EXTERNAL " + id + "\r\n";
}

// Any message back, whatever it says, is a bus that answers; its first byte tells its
// byte order.
BusAnswer AnswerOfGreeting(const std::string& reply)
{
    return reply[0] == 'l' || reply[0] == 'B' ? BusAnswer::Answered : BusAnswer::Silent;
}

} // namespace

std::string SystemBusAddress()
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : kWellKnownSystemBus;
}

std::string BusKind(const std::string& address)
{
    if (address == SystemBusAddress())
        return "system bus";
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session && address == session)
        return "session bus";
    return "bus";
}

std::string UnixSocketOfBusAddress(const std::string& address)
{
    std::size_t start = 0;
    while (start <= address.size()) {
        std::size_t end = address.find(';', start);
        if (end == std::string::npos)
            end = address.size();
        const std::string entry = address.substr(start, end - start);
        start = end + 1;
        if (entry.rfind("unix:", 0) != 0)
            continue;
        std::size_t at = 5;
        while (at < entry.size()) {
            std::size_t next = entry.find(',', at);
            if (next == std::string::npos)
                next = entry.size();
            const std::string pair = entry.substr(at, next - at);
            at = next + 1;
            const std::size_t equals = pair.find('=');
            if (equals == std::string::npos)
                continue;
            const std::string key = pair.substr(0, equals);
            std::string value = Unescaped(pair.substr(equals + 1));
            if (value.empty())
                continue;
            if (key == "path")
                return value;
            if (key == "abstract")
                return std::string(1, '\0') + value;
        }
    }
    return {};
}

BusAnswerCheck::BusAnswerCheck(const std::string& address, std::chrono::milliseconds patience, Outcome outcome)
    : outcome_(std::move(outcome))
{
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, [this] { Finish(atDeadline_); });
    const BusAnswer connected = Connect(address);
    if (connected != BusAnswer::Answered || !Send(AuthenticationRequest())) {
        socket_.Reset();
        atDeadline_ = connected == BusAnswer::Absent ? BusAnswer::Absent : BusAnswer::Silent;
        deadline_.start(0); // the outcome comes from the loop all the same
        return;
    }
    reader_ = std::make_unique<QSocketNotifier>(socket_.Get(), QSocketNotifier::Read);
    QObject::connect(reader_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    deadline_.start(patience);
}

BusAnswerCheck::~BusAnswerCheck() = default;

BusAnswer BusAnswerCheck::Connect(const std::string& address)
{
    const std::string path = UnixSocketOfBusAddress(address);
    sockaddr_un peer{};
    if (path.empty() || path.size() >= sizeof peer.sun_path)
        return BusAnswer::Silent;
    peer.sun_family = AF_UNIX;
    std::memcpy(peer.sun_path, path.data(), path.size());
    socket_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_)
        return BusAnswer::Silent;
    // A Unix socket connects at once or not at all: EAGAIN is a bus whose queue is full.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&peer), length) == 0)
        return BusAnswer::Answered;
    // No such file, or a socket left behind by a bus that has ended.
    return errno == ENOENT || errno == ECONNREFUSED ? BusAnswer::Absent : BusAnswer::Silent;
}

bool BusAnswerCheck::Send(const std::string& bytes)
{
    const ssize_t sent = send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(bytes.size());
}

void BusAnswerCheck::OnReadable()
{
    std::array<char, 256> buffer{};
    const ssize_t received = recv(socket_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (received <= 0) {
        Finish(BusAnswer::Silent); // closed or failed: the bus turned us away
        return;
    }
    received_.append(buffer.data(), static_cast<std::size_t>(received));
    if (stage_ == Stage::Greeting) {
        Finish(AnswerOfGreeting(received_));
        return;
    }
    const std::size_t lineEnd = received_.find("\r\n");
    if (lineEnd == std::string::npos) {
        if (received_.size() > 512)
            Finish(BusAnswer::Silent); // no line a bus would send
        return;
    }
    if (received_.rfind("OK ", 0) != 0 || !Send("BEGIN\r\n" + HelloMessage())) {
        Finish(BusAnswer::Silent);
        return;
    }
    received_.erase(0, lineEnd + 2);
    stage_ = Stage::Greeting;
    if (!received_.empty())
        Finish(AnswerOfGreeting(received_));
}

void BusAnswerCheck::Finish(BusAnswer answer)
{
    if (!outcome_)
        return;
    deadline_.stop();
    reader_.reset();
    socket_.Reset();
    std::exchange(outcome_, nullptr)(answer);
}

} // namespace platform
