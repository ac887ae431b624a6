# libksfsg.so, the emulated drive as Linux SCSI generic devices for a process
# started with LD_PRELOAD, built with the host's compiler in both widths:
#   <dir>/lib/x86_64-linux-gnu/libksfsg.so and <dir>/lib/i386-linux-gnu/libksfsg.so
# so that LD_PRELOAD='<dir>/$LIB/libksfsg.so' serves 64-bit and 32-bit
# processes alike (the loader expands $LIB per process).  The C++ runtime is
# linked in and hidden: the preloaded process sees ioctl and __ioctl_time64 only.
function(ksf_add_sg_preload dir host_cxx)
  set(sources
    ${CMAKE_SOURCE_DIR}/sim/linux/ksfsg_preload.cpp ${CMAKE_SOURCE_DIR}/sim/linux/sg_adapter.cpp
    ${CMAKE_SOURCE_DIR}/sim/sim_files.cpp
    ${CMAKE_SOURCE_DIR}/sim/drive_model.cpp ${CMAKE_SOURCE_DIR}/sim/sim_config.cpp
    ${CMAKE_SOURCE_DIR}/sim/aspi_adapter.cpp ${CMAKE_SOURCE_DIR}/src/platform/platform.cpp)
  file(GLOB headers ${CMAKE_SOURCE_DIR}/sim/*.h ${CMAKE_SOURCE_DIR}/sim/linux/*.h
    ${CMAKE_SOURCE_DIR}/src/platform/*.h ${CMAKE_SOURCE_DIR}/src/transport/*.h)
  set(outputs)
  foreach(bits 64 32)
    if(bits EQUAL 64)
      set(lib x86_64-linux-gnu)
    else()
      set(lib i386-linux-gnu)
    endif()
    set(out ${dir}/lib/${lib}/libksfsg.so)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/lib/${lib}
      COMMAND ${host_cxx} -m${bits} -std=c++17 -O2 -fPIC -shared -fvisibility=hidden
        -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}/sim -I${CMAKE_SOURCE_DIR}/sim/linux
        -I${CMAKE_SOURCE_DIR}/src ${sources} -static-libstdc++ -static-libgcc
        -Wl,--exclude-libs,ALL -Wl,--version-script=${CMAKE_SOURCE_DIR}/sim/linux/ksfsg.map -Wl,-z,defs -ldl -pthread -o ${out}
      DEPENDS ${sources} ${headers} ${CMAKE_SOURCE_DIR}/sim/linux/ksfsg.map
      COMMENT "libksfsg.so (${bits}-bit)" VERBATIM)
    list(APPEND outputs ${out})
  endforeach()
  add_custom_target(ksfsg_preload ALL DEPENDS ${outputs})
endfunction()
