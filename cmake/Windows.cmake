# The Windows DLL (MinGW-w64 cross build, cmake/mingw-*.cmake): every reader,
# the Win32 platform layer, the dependencies linked statically, exactly the two
# decorated exports of cmake/quorvel-ARCH.def.  Then the host, and the checks
# (win/CMakeLists.txt).
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)  # never an import library of a dependency
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(ZLIB REQUIRED)
find_package(TIFF REQUIRED)
find_library(QUORVEL_LZMA lzma REQUIRED)
find_library(QUORVEL_ZSTD zstd REQUIRED)

file(GLOB QUORVEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp ${QUORVEL_LAYER_SOURCES})
add_library(quorvel_obj OBJECT ${QUORVEL_SOURCES})
target_include_directories(quorvel_obj PUBLIC ${QUORVEL_INCLUDE_DIRS})
target_compile_definitions(quorvel_obj PUBLIC QUORVEL_BUILDING QUORVEL_HAVE_LIBTIFF)
target_link_libraries(quorvel_obj PUBLIC TIFF::TIFF ${QUORVEL_LZMA} ${QUORVEL_ZSTD} JPEG::JPEG PNG::PNG
  ZLIB::ZLIB gdi32 user32 kernel32)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUORVEL_DEF ${CMAKE_SOURCE_DIR}/cmake/quorvel-i686.def)
else()
  set(QUORVEL_DEF ${CMAKE_SOURCE_DIR}/cmake/quorvel-x86_64.def)
endif()
add_library(quorvel SHARED ${QUORVEL_DEF})
target_link_libraries(quorvel PRIVATE quorvel_obj)
# -static also takes winpthread, libgcc and libstdc++ in: only system DLLs are imported.
target_link_options(quorvel PRIVATE -static -s -Wl,--no-undefined)
set_target_properties(quorvel PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${QUORVEL_DEF})

enable_testing()
add_subdirectory(win)
