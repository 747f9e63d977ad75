# Where the Windows cross builds and setup files are; shared by cmake/windows.cmake and the tests.
# Only sets variables, in the scope of each directory that includes it (so no include guard).
set(WINDOWS_ARCHES x86_64 i686)
set(WINDOWS_DIST "${PROJECT_SOURCE_DIR}/dist/windows")
set(WINDOWS_BUILD_ROOT "${CMAKE_BINARY_DIR}/windows")
# The script packed into dist/windows/*/drvsetup.exe; the shipped data unless set otherwise.
set(WINDOWS_SETUP_DATA "${PROJECT_SOURCE_DIR}/data/drivers.reg" CACHE FILEPATH
    "Registration script packed into the Windows setup files")
foreach(arch IN LISTS WINDOWS_ARCHES)
  set(WINDOWS_IMAGE_${arch} "${WINDOWS_BUILD_ROOT}/${arch}/drvsetup_image.exe")
  set(WINDOWS_SETUP_${arch} "${WINDOWS_DIST}/${arch}/drvsetup.exe")
endforeach()
