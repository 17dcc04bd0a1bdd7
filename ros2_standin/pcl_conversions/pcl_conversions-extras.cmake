find_package(PCL REQUIRED COMPONENTS common)
