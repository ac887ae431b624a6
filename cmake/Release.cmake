# Release builds (presets release-win32 and release-linux, run by release.sh).
#
# Both: optimized, no build path in any output (-ffile-prefix-map), so that two
# builds of the same sources in two folders give the same bytes.
# release-win32: ksfupd.exe stripped, ASLR and DEP flags set (Windows 95/98
#   ignore them), no PE time stamp; its debug sections go to ksfupd.exe.debug
#   beside it, for crash reports.
# release-linux: ksfupd stripped and hardened as Debian builds its packages
#   (fortified calls, stack protector, PIE, read-only relocations bound at
#   start), and the Debian package made by CPack from the install rules below.
option(KSF_RELEASE "release build: optimized, stripped, reproducible, packaged" OFF)
if(NOT KSF_RELEASE)
  return()
endif()

add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
# cpack installs what it packages without building everything else first
# (the unit tests are not part of a release).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_compile_options(-g)
  add_link_options(LINKER:--dynamicbase,--nxcompat,--no-insert-timestamp)
  function(ksf_release_win32)
    add_custom_command(TARGET ksfupd POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:ksfupd> $<TARGET_FILE:ksfupd>.debug
      COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:ksfupd>
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release_pe_finish.py $<TARGET_FILE:ksfupd>
      COMMENT "ksfupd.exe: debug sections to ksfupd.exe.debug, stripped, ready for signing" VERBATIM)
  endfunction()
  cmake_language(DEFER CALL ksf_release_win32)
  return()
endif()

add_compile_definitions(_FORTIFY_SOURCE=2)
add_compile_options(-fstack-protector-strong)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
add_link_options(LINKER:-z,relro,-z,now -s)

# ------------------------------------------------------------ the package ----
include(GNUInstallDirs)
find_program(KSF_SCDOC scdoc REQUIRED)
find_program(KSF_GZIP gzip REQUIRED)
set(KSF_PKG ${CMAKE_SOURCE_DIR}/packaging)
set(KSF_DOC ${CMAKE_INSTALL_DATAROOTDIR}/doc/ksfupd)
function(ksf_release_linux)
  # gzip -n: no name or time in the header.
  add_custom_command(OUTPUT ${KSF_GEN}/ksfupd.1.gz
    COMMAND sh -c "${KSF_SCDOC} < ${KSF_PKG}/ksfupd.1.scd > ${KSF_GEN}/ksfupd.1 && ${KSF_GZIP} -9nf ${KSF_GEN}/ksfupd.1"
    DEPENDS ${KSF_PKG}/ksfupd.1.scd COMMENT "ksfupd.1 from its scdoc source" VERBATIM)
  add_custom_command(OUTPUT ${KSF_GEN}/changelog.gz
    COMMAND sh -c "${KSF_GZIP} -9n < ${KSF_PKG}/changelog > ${KSF_GEN}/changelog.gz"
    DEPENDS ${KSF_PKG}/changelog VERBATIM)
  add_custom_target(ksfupd_docs ALL DEPENDS ${KSF_GEN}/ksfupd.1.gz ${KSF_GEN}/changelog.gz)

  install(TARGETS ksfupd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${KSF_GEN}/ksfupd.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${KSF_PKG}/ksfupd.bash DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    RENAME ksfupd)
  install(FILES ${KSF_PKG}/copyright ${KSF_GEN}/changelog.gz DESTINATION ${KSF_DOC})
  # An example only: giving users access to the drive's firmware is the
  # administrator's decision.
  install(FILES ${KSF_PKG}/60-kestran.rules DESTINATION ${KSF_DOC}/examples)
  if(EXISTS ${KSF_PKG}/lintian-overrides)
    install(FILES ${KSF_PKG}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      RENAME ksfupd)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME ksfupd)
  set(CPACK_PACKAGE_VENDOR "Kestran Corporation")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestran Corporation <firmware@kestran.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Kestran optical drives")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ksfupd writes new firmware from a Kestran update package into Kestran\n"
    "CD-R, CD-R/RW and CD-ROM drives through their SCSI generic nodes. It checks\n"
    "the drive against the package, asks before it changes anything, keeps the\n"
    "machine from sleeping or shutting down while the flash is written, and\n"
    "waits for the drive to reprogram itself.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  # cpack gives every member of the package the time SOURCE_DATE_EPOCH names
  # (release.sh sets it), owner root, in a fixed order.
  include(CPack)
endfunction()
cmake_language(DEFER CALL ksf_release_linux)
