#include <pthread.h>
#include <sched.h>

#include "link/thread_priority.h"

namespace gw::link {

void LowerThreadPriority() {
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
}

}  // namespace gw::link
