// standard-math sieve: see later
#include "engine/worker.h"
#include "platform/post.h"

namespace varnesk {
void CGfnThread::StandardSieve() { PostText(job_.form, "Standard math sieve is not available in this build."); }
}  // namespace varnesk
