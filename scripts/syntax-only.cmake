# Included after project() by scripts/thread-safety.sh, or for the folders in SORV_CHECK_ONLY:
# every source is checked by the compiler (-fsyntax-only) and no code is generated; objects,
# libraries and programs are empty stamps.
set(CMAKE_CXX_COMPILE_OBJECT
    "<CMAKE_CXX_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -fsyntax-only <SOURCE> && touch <OBJECT>")
set(CMAKE_C_COMPILE_OBJECT
    "<CMAKE_C_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -fsyntax-only <SOURCE> && touch <OBJECT>")
set(CMAKE_CXX_CREATE_STATIC_LIBRARY "touch <TARGET>")
set(CMAKE_C_CREATE_STATIC_LIBRARY "touch <TARGET>")
set(CMAKE_CXX_LINK_EXECUTABLE "touch <TARGET>")
set(CMAKE_C_LINK_EXECUTABLE "touch <TARGET>")
