#include "SerialTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer, so the tool cannot see how a queued call travels
// (Qt's event-queue lock and the reference count of the posted functor). What the
// main-thread call hands over through Qt (its functor and its shared state, made by the
// worker and used by the main thread) therefore looks unsynchronised. Only reports with
// the posting worker inside that call are dropped; the serial code's own are kept.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QMetaObject::invokeMethodImpl\n"
           "race:Synchronize(std::function\n";
}
#endif
