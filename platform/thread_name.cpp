#include "platform/thread_name.h"

#include <pthread.h>

namespace platform {

void NameThisThread(const char* name)
{
    // Fails only for a name over 15 characters; the thread then keeps the program's name.
    (void)pthread_setname_np(pthread_self(), name);
}

} // namespace platform
