// Copyright 2026 Velmora robotics team
//
// Licensed under the Apache License, Version 2.0 (the "License");
// you may not use this file except in compliance with the License.
// You may obtain a copy of the License at
//
//     http://www.apache.org/licenses/LICENSE-2.0
//
// Unless required by applicable law or agreed to in writing, software
// distributed under the License is distributed on an "AS IS" BASIS,
// WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
// See the License for the specific language governing permissions and
// limitations under the License.

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

namespace
{
[[maybe_unused]] const bool kOpenCvSerial = (cv::setNumThreads(0), true);
}  // namespace
#endif

extern "C" const char * __tsan_default_suppressions();
extern "C" const char * __tsan_default_suppressions()
{
  return "deadlock:libgdal.so\n"
         "race:libopencv_dnn.so\n"
         "race:libtbb.so\n";
}
