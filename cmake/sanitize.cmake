# DRVSETUP_SANITIZE=ON builds everything of the native build (program, stand-in, tools, tests)
# with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer. Any report stops the
# process: undefined behaviour is not recovered from.
option(DRVSETUP_SANITIZE "Build the native program and its tests with ASan, UBSan and LSan" OFF)
if(DRVSETUP_SANITIZE)
  set(DRVSETUP_SANITIZE_FLAGS
      -fsanitize=address,undefined,leak -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${DRVSETUP_SANITIZE_FLAGS})
  add_link_options(${DRVSETUP_SANITIZE_FLAGS})
endif()
