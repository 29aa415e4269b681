// Lookup threads at the program's end.

#include "net/host_lookup.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

TEST(LookupThreads, AProgramEndsAtOnceWhileItsResolverStillWorks)
{
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        static std::atomic<bool> resolving{false};
        net::SetHostResolver([](const std::string&) {
            resolving = true;
            std::this_thread::sleep_for(1h);
            return net::LookupResult{};
        });
        net::StartHostLookup("slow.test", [](const net::LookupResult&) {});
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!resolving && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        std::exit(resolving && net::PendingLookups() == 1 ? 0 : 3); // the program's end, with its clean-up
    }
    int status = 0;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the program waited for its resolver";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
