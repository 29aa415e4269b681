#include "platform/open_file_limit.h"

#include <sys/resource.h>

namespace platform {

void RaiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit); // the old limit stays on failure, which the program lives with
}

} // namespace platform
