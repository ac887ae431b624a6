# Native build: unit tests (GoogleTest), fuzzers, benchmarks.
enable_testing()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

# The virtual-clock platform double shared by the tests, fuzzers and benchmarks.
file(GLOB KSF_FAKE_SOURCES CONFIGURE_DEPENDS src/platform/fake/*.cpp)
add_library(ksffake STATIC ${KSF_FAKE_SOURCES})
target_include_directories(ksffake PUBLIC src/platform/fake)
target_link_libraries(ksffake PUBLIC ksfcore Threads::Threads)

file(GLOB KSF_UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(ksf_unit_tests ${KSF_UNIT_SOURCES} sim/linux/sg_adapter.cpp
  sim/linux/tcmu_ring.cpp src/platform/linux/sg_result.cpp)
target_include_directories(ksf_unit_tests PRIVATE tests/unit sim/linux)
target_link_libraries(ksf_unit_tests PRIVATE ksfsim ksffake ksfcore GTest::gtest_main GTest::gmock Threads::Threads)
include(GoogleTest)
gtest_discover_tests(ksf_unit_tests DISCOVERY_TIMEOUT 60)

if(KSF_FUZZ)
  file(GLOB KSF_FUZZ_SOURCES CONFIGURE_DEPENDS tests/fuzz/*.cpp)
  foreach(src ${KSF_FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_include_directories(${name} PRIVATE tests/unit)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ksfsim ksffake ksfcore Threads::Threads)
  endforeach()
endif()

if(KSF_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB KSF_BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
  add_executable(ksf_bench ${KSF_BENCH_SOURCES})
  target_include_directories(ksf_bench PRIVATE tests/unit)
  target_link_libraries(ksf_bench PRIVATE ksfsim ksffake ksfcore benchmark::benchmark Threads::Threads)
endif()

# The emulated drive behind SG_IO, for native programs and for Wine.  Not in
# the sanitizer and fuzzing builds: a preloaded library cannot carry them.
if(NOT KSF_SANITIZE AND NOT KSF_FUZZ)
  include(cmake/sg_preload.cmake)
  ksf_add_sg_preload(${CMAKE_BINARY_DIR}/sim ${CMAKE_CXX_COMPILER})
endif()

# ksfupd for Linux: the terminal front end on the Linux platform.
find_package(CLI11 CONFIG REQUIRED)
find_package(nlohmann_json 3 CONFIG REQUIRED)
file(GLOB KSF_LINUX_PLATFORM_SOURCES CONFIGURE_DEPENDS src/platform/linux/*.cpp)
add_library(ksflinux STATIC ${KSF_LINUX_PLATFORM_SOURCES})
# sd-bus, for the inhibitor lock that keeps the machine up during an update.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(ksflinux PUBLIC ksfcore Threads::Threads PRIVATE PkgConfig::SYSTEMD)
file(GLOB KSF_CLI_SOURCES CONFIGURE_DEPENDS src/cli/*.cpp)
add_executable(ksfupd ${KSF_CLI_SOURCES})
target_link_libraries(ksfupd PRIVATE ksflinux ksfcore nlohmann_json::nlohmann_json CLI11::CLI11
  Threads::Threads)
target_compile_definitions(ksfupd PRIVATE KSF_VERSION="${PROJECT_VERSION}")

# The emulated drive as a SCSI device of a real kernel (a TCMU handler), for
# the guest of tests/e2e/kernel.sh.
add_executable(ksf-tcmu-drive sim/linux/tcmu_handler.cpp sim/linux/tcmu_ring.cpp)
target_include_directories(ksf-tcmu-drive PRIVATE sim/linux)
target_link_libraries(ksf-tcmu-drive PRIVATE ksfsim)
