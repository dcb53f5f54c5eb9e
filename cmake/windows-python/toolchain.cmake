# Cross-building the extensions for the Windows CPython 3.13 that `make win-python` lays out
# in build/win-python: mingw-w64, CPython's headers beside our pyconfig.h, and
# python313.dll itself to link against (GNU ld needs no import library for a DLL). There is
# no interpreter of the target to ask, so the extension suffix is stated here.
include(${CMAKE_CURRENT_LIST_DIR}/../mingw-w64-x86_64.cmake)
get_filename_component(QUORVANE_WIN_PYTHON ${CMAKE_CURRENT_LIST_DIR}/../../build/win-python ABSOLUTE)
# A root for the cross-build's searches too: FindPython looks for the DLL beside the library.
list(APPEND CMAKE_FIND_ROOT_PATH ${QUORVANE_WIN_PYTHON})
set(Python_INCLUDE_DIR ${QUORVANE_WIN_PYTHON}/include CACHE PATH "CPython's headers, our pyconfig.h")
set(Python_LIBRARY ${QUORVANE_WIN_PYTHON}/python/python313.dll CACHE FILEPATH "The interpreter's DLL")
set(PYTHON_MODULE_EXT_SUFFIX .cp313-win_amd64.pyd CACHE STRING "The suffix of CPython 3.13's extensions")
