find_package(OpenCV REQUIRED COMPONENTS core imgproc)
