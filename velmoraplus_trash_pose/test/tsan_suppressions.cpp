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

// Compiled into every executable of a ThreadSanitizer build. Debian's
// libraries are not instrumented, and some of them trip TSan by themselves:
// - OpenNI2, loaded with PCL's io library, unlocks mutexes of its own static
//   state at load time;
// - GDAL, loaded by OpenCV's image codecs, takes its mutexes in varying order
//   inside imread/imwrite;
// - OpenCV DNN hands work to TBB threads whose synchronisation TSan cannot see.
// OpenCV's parallel loops also run on the calling thread here: the suppressed reports
// from its TBB workers pile up and TSan checks each new one against all before, which
// can slow a test from seconds to many minutes. Our own threads are still checked.
#include <opencv2/core/utility.hpp>

namespace
{
[[maybe_unused]] const bool kOpenCvSerial = (cv::setNumThreads(0), true);
}  // namespace

extern "C" const char * __tsan_default_suppressions();
extern "C" const char * __tsan_default_suppressions()
{
  return "called_from_lib:libOpenNI2.so\n"
         "deadlock:libgdal.so\n"
         "race:libopencv_dnn.so\n"
         "race:libtbb.so\n";
}
