# InstallLayout.cmake - where an install puts each file. The host framework and the vendor's SDK are
# packages of their own on the systems this driver ships to, so the driver installs only its own files
# where the framework looks for them, and everything that stands in for someone else's software lives
# in a private home of this project:
#
#   driver module        <prefix>/lib/biometric-authentication/drivers/extra/kelvra-dactylen/libkelvra.so
#                        (run path: that folder of the system, /usr/lib/..., whatever the prefix: the
#                        vendor's SDK lies there)
#   catalogues           <localedir>/zh_CN/LC_MESSAGES/
#   contract headers     <includedir>/kelvra-dactylen/
#   pkg-config files     <libdir>/pkgconfig/ (their prefix is taken from where the file lies)
#   stand-in host        <libdir>/kelvra-dactylen/libbiometric.so.0    never in the system library folder,
#   virtual sensor       <libdir>/kelvra-dactylen/libKelDactylen.so    never in the driver directory
#   kelvractl            <libexecdir>/kelvra-dactylen/kelvractl, <bindir>/kelvractl links to it; it
#                        finds all of the above relative to its own location

set(KELVRA_DRIVER_DIR "lib/biometric-authentication/drivers/extra/kelvra-dactylen"
    CACHE STRING "driver directory, relative to the prefix")
set(KELVRA_DRIVER_RUNPATH "/usr/lib/biometric-authentication/drivers/extra/kelvra-dactylen")
set(KELVRA_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/kelvra-dactylen")
set(KELVRA_TOOLS_DIR "${CMAKE_INSTALL_LIBEXECDIR}/kelvra-dactylen")
set(KELVRA_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/kelvra-dactylen")

option(KELVRA_INSTALL_VIRTUAL_SENSOR_AS_SYSTEM_SDK
  "also install the virtual sensor as the driver directory's libKelDactylen.so, for a machine without \
the vendor's SDK (demos, CI images); refuses to replace a file it did not install" OFF)

# kelvra_relative_path(OUT FROM TO): the path from install folder FROM to install folder TO, each given
# relative to the prefix or absolute. Folders under one prefix keep their relative places whatever the
# prefix, so $ORIGIN run paths and kelvractl's look-ups built from it hold for any prefix and DESTDIR.
function(kelvra_relative_path out from to)
  foreach(dir from to)
    if(IS_ABSOLUTE "${${dir}}")
      set(${dir}_full "${${dir}}")
    else()
      set(${dir}_full "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
    cmake_path(NORMAL_PATH ${dir}_full)
  endforeach()
  file(RELATIVE_PATH relative "${from_full}" "${to_full}")
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(relative STREQUAL "")
    set(relative ".")
  endif()
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

# kelvra_install_pkgconfig(TEMPLATE...): each cmake/NAME.pc.in becomes NAME.pc whose prefix is derived
# from the folder the installed file lies in (${pcfiledir}), so it is right under any prefix or DESTDIR.
function(kelvra_install_pkgconfig)
  set(pkgconfig_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  kelvra_relative_path(KELVRA_PC_PREFIX "${pkgconfig_dir}" ".")
  kelvra_relative_path(KELVRA_PC_PRIVATE_LIBDIR "." "${KELVRA_PRIVATE_LIBDIR}")
  kelvra_relative_path(KELVRA_PC_INCLUDEDIR "." "${KELVRA_INCLUDEDIR}")
  foreach(template ${ARGN})
    get_filename_component(name "${template}" NAME_WLE)
    configure_file("${template}" "${PROJECT_BINARY_DIR}/${name}" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/${name}" DESTINATION "${pkgconfig_dir}")
  endforeach()
endfunction()
