# Windows build (i686: the product; x86_64: the companion build for hosts whose
# Wine cannot run 32-bit programs).
enable_language(RC)
set(KSF_WIN_LINK -static -static-libgcc -static-libstdc++)

file(GLOB KSF_WIN_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cpp src/app/win32/*.cpp)
file(GLOB KSF_RC CONFIGURE_DEPENDS src/app/resources/*.rc)
# The resource script pulls in the icon, the logo, the manifest and the shared ids.
file(GLOB KSF_RC_INPUTS CONFIGURE_DEPENDS src/app/resources/*.ico src/app/resources/*.bmp
  src/app/resources/*.manifest src/app/resources/*.h)
set_source_files_properties(${KSF_RC} PROPERTIES OBJECT_DEPENDS "${KSF_RC_INPUTS};${KSF_GEN}/version.h")
add_executable(ksfupd WIN32 ${KSF_WIN_SOURCES} ${KSF_RC})
set_target_properties(ksfupd PROPERTIES OUTPUT_NAME ksfupd RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(ksfupd PRIVATE src src/app/resources)
target_link_libraries(ksfupd PRIVATE ksfcore comctl32 gdi32 user32 advapi32 ${KSF_WIN_LINK})
# The product is compiled for the oldest Windows it runs on (95 and NT 4): a
# direct call to a later system's function does not compile; such functions
# are looked up at run time.  tests/resources/check_imports.py checks the result.
set(KSF_OLDEST_WINDOWS WINVER=0x0400 _WIN32_WINNT=0x0400)
target_compile_definitions(ksfupd PRIVATE ${KSF_OLDEST_WINDOWS})
target_compile_definitions(ksfcore PRIVATE ${KSF_OLDEST_WINDOWS})

# The emulated drive as WNASPI32.DLL.
file(GLOB KSF_SIMDLL_SOURCES CONFIGURE_DEPENDS sim/win32/*.cpp sim/win32/*.def)
if(KSF_SIMDLL_SOURCES)
  add_library(wnaspi32 SHARED ${KSF_SIMDLL_SOURCES})
  set_target_properties(wnaspi32 PROPERTIES PREFIX "" OUTPUT_NAME WNASPI32 SUFFIX ".DLL"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sim)
  target_link_libraries(wnaspi32 PRIVATE ksfsim ${KSF_WIN_LINK} -Wl,--kill-at)
endif()

# The same drive behind Linux's SG_IO, preloaded into Wine for the runs over
# the pass-through request (built with the host's compiler).
find_program(KSF_HOST_CXX NAMES g++ c++)
if(KSF_HOST_CXX)
  include(cmake/sg_preload.cmake)
  ksf_add_sg_preload(${CMAKE_BINARY_DIR}/sim ${KSF_HOST_CXX})
endif()

# Our UI automation tool and Win32 test programs, run inside Wine.
file(GLOB KSF_TOOL_SOURCES CONFIGURE_DEPENDS tools/*.cpp)
foreach(src ${KSF_TOOL_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  target_include_directories(${name} PRIVATE src)
  target_link_libraries(${name} PRIVATE ksfcore user32 gdi32 comctl32 ${KSF_WIN_LINK})
endforeach()

# The UI automation tool, one file per concern.
file(GLOB KSF_AUTO_SOURCES CONFIGURE_DEPENDS tools/ksfauto/*.cpp)
add_executable(ksfauto ${KSF_AUTO_SOURCES})
set_target_properties(ksfauto PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
target_link_libraries(ksfauto PRIVATE user32 gdi32 comctl32 ${KSF_WIN_LINK})
