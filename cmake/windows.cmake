# `windows`: the two Windows setup files. Each architecture is a separate cross build of
# cmake/windows/ with its mingw-w64 toolchain file, in the build tree under windows/<arch>; its
# image is then packed with the native drvpack into dist/windows/<arch>/drvsetup.exe.
include(ExternalProject)
include(${CMAKE_CURRENT_LIST_DIR}/windows-paths.cmake)

set(windows_outputs)
foreach(arch IN LISTS WINDOWS_ARCHES)
  ExternalProject_Add(drvsetup_image_${arch}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}/cmake/windows"
    BINARY_DIR "${WINDOWS_BUILD_ROOT}/${arch}"
    PREFIX "${WINDOWS_BUILD_ROOT}/${arch}-ep"
    CMAKE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-${arch}-w64-mingw32.cmake"
      "-DCMAKE_BUILD_TYPE=MinSizeRel"
      "-DDRVSETUP_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${WINDOWS_IMAGE_${arch}}"
    EXCLUDE_FROM_ALL TRUE
    LOG_CONFIGURE TRUE
    LOG_OUTPUT_ON_FAILURE TRUE)

  add_custom_command(
    OUTPUT "${WINDOWS_SETUP_${arch}}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${WINDOWS_DIST}/${arch}"
    COMMAND drvpack pack --force "${WINDOWS_IMAGE_${arch}}" "${WINDOWS_SETUP_DATA}"
            "${WINDOWS_SETUP_${arch}}"
    DEPENDS drvsetup_image_${arch} "${WINDOWS_IMAGE_${arch}}" drvpack "${WINDOWS_SETUP_DATA}"
    COMMENT "Packing dist/windows/${arch}/drvsetup.exe"
    VERBATIM)
  list(APPEND windows_outputs "${WINDOWS_SETUP_${arch}}")
endforeach()

add_custom_target(windows DEPENDS ${windows_outputs})
