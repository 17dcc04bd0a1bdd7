// ThreadSanitizer reads these when the tests are built with -fsanitize=thread.
// - GDAL, which OpenCV's image codecs load, takes its own mutexes in varying order inside
//   imread/imwrite.
// - OpenCV DNN runs its layers on TBB worker threads, whose hand-offs the uninstrumented
//   libraries hide from TSan; the buffers it shares with us are guarded by our own mutexes.
//
// Under TSan, OpenCV also runs its parallel loops on the calling thread: the suppressed
// reports from its TBB workers pile up, and TSan checks each new one against all before
// (a real-network test went from under a minute to over ten). Our own threads are still
// checked in full.
#if defined(__SANITIZE_THREAD__)
#define VELMORA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_TSAN 1
#endif
#endif

#if defined(VELMORA_TSAN)
#include <opencv2/core/utility.hpp>

namespace {
[[maybe_unused]] const bool kOpenCvSerial = (cv::setNumThreads(0), true);
}  // namespace
#endif

extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:libgdal.so\n"
         "race:libopencv_dnn.so\n"
         "race:libtbb.so\n";
}
