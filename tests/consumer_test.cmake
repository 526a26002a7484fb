# Installs quorvel into a fresh prefix and builds tests/consumer against it
# twice, through find_package and through pkg-config, then runs both builds
# on a sample; the installed host previews a CMYK sample.  Arguments:
# BUILD_DIR, SOURCE_DIR, WORK_DIR, SAMPLE, EXPECT, C_FLAGS (extra compile and
# link flags, e.g. sanitizers).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(check_consumer exe)
  run(${exe} ${SAMPLE} ${WORK_DIR})
  if(NOT run_output STREQUAL "${EXPECT}\n")
    message(FATAL_ERROR "${exe} printed '${run_output}', expected '${EXPECT}'")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(internal FormatTable.h ImageIo.h Quorvel.h libquorvel_core.a)
  file(GLOB_RECURSE leaked ${prefix}/*/${internal})
  if(leaked)
    message(FATAL_ERROR "internal file installed: ${leaked}")
  endif()
endforeach()

# The host, installed or in the build tree, finds its bundled colour table
# without --colour-dir: a CMYK sample previews in colour, not black.
foreach(host ${prefix}/bin/quorvel ${BUILD_DIR}/quorvel)
  file(REMOVE ${WORK_DIR}/cmyk.bmp)
  execute_process(COMMAND ${host} preview -o ${WORK_DIR}/cmyk.bmp ${SOURCE_DIR}/samples/cmyk-lzw.tif
    WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc ERROR_VARIABLE err)
  file(READ ${WORK_DIR}/cmyk.bmp pixels OFFSET 54 HEX)
  if(NOT rc EQUAL 0 OR NOT pixels MATCHES "[1-9a-f]")
    message(FATAL_ERROR "${host} previewed the CMYK sample black (${rc}): ${err}")
  endif()
endforeach()

# Through find_package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/cmake-build
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
check_consumer(${WORK_DIR}/cmake-build/consumer)

# Through pkg-config, with the library found beside the .pc file.
file(GLOB_RECURSE pc ${prefix}/*/quorvel.pc)
get_filename_component(pcdir "${pc}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs quorvel)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${C_FLAGS}")
run(cc ${extra} ${SOURCE_DIR}/tests/consumer/consumer.c ${flags} -o ${WORK_DIR}/consumer-pc)
set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
check_consumer(${WORK_DIR}/consumer-pc)
file(REMOVE_RECURSE ${WORK_DIR})
