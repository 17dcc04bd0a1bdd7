// ThreadSanitizer reads these when the tests are built with -fsanitize=thread.
// - GDAL, which OpenCV's image codecs load, takes its own mutexes in varying order inside
//   imread/imwrite.
// - OpenCV DNN runs its layers on TBB worker threads, whose hand-offs the uninstrumented
//   libraries hide from TSan; the buffers it shares with us are guarded by our own mutexes.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:libgdal.so\n"
         "race:libopencv_dnn.so\n"
         "race:libtbb.so\n";
}
