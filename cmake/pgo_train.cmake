# Runs at build time (cmake -P) for the profile-guided engine build: builds an
# instrumented engine in a sub-build, plays the training commands to it, and
# writes the flag files the real engine is compiled and linked with. Any failure
# leaves both flag files empty, which gives a plain Release build; the build
# itself never fails here.
#
# Inputs (-D): SRC BIN GEN PROFILE_DIR GENERATOR MAKE_PROGRAM CXX CXX_FLAGS JOBS LTO
#              COMPILE_RSP LINK_RSP
cmake_minimum_required(VERSION 3.25)

function(fall_back why)
  file(WRITE "${COMPILE_RSP}" "")
  file(WRITE "${LINK_RSP}" "")
  message(WARNING "Profile-guided build not possible: ${why}\n"
                  "The engine is being built as a plain Release build instead.")
endfunction()

# The sub-build's own make must not inherit the outer make's job server, which
# a custom command cannot pass on; it gets its job count explicitly.
set(ENV{MAKEFLAGS} "")
set(ENV{MFLAGS} "")
unset(ENV{MAKELEVEL})

set(gen_args -S "${SRC}" -B "${GEN}" -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVW_PGO=OFF
    -DVW_PGO_PHASE=generate -DVW_PGO_DIR=${PROFILE_DIR})
if(MAKE_PROGRAM)
  list(APPEND gen_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
message(STATUS "Profile-guided build: building the instrumented engine")
execute_process(COMMAND "${CMAKE_COMMAND}" ${gen_args}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fall_back("configuring the instrumented build failed:\n${out}")
  return()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${GEN}" --target vellowind --parallel ${JOBS}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fall_back("building the instrumented engine failed:\n${out}")
  return()
endif()

# Counts from an earlier run would be merged into this one's, so each training
# starts from an empty profile.
file(REMOVE_RECURSE "${PROFILE_DIR}")
file(MAKE_DIRECTORY "${PROFILE_DIR}")
message(STATUS "Profile-guided build: training the instrumented engine")
set(log "${GEN}/training-log.txt")
execute_process(COMMAND sh "${SRC}/cmake/pgo_train.sh" "${GEN}/vellowind" "${SRC}/cmake/pgo_train.uci" "${log}"
                TIMEOUT 300 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fall_back("the training run failed (${rc}):\n${out}")
  return()
endif()

# The training doubles as a check of the instrumented engine: it must have
# answered every search and found the known perft counts.
file(READ "${log}" replies)
file(STRINGS "${SRC}/cmake/pgo_train.uci" commands REGEX "^go")
file(STRINGS "${log}" answers REGEX "^bestmove")
list(LENGTH commands n_go)
list(LENGTH answers n_best)
if(NOT n_go EQUAL n_best)
  fall_back("the training run answered ${n_best} of ${n_go} searches")
  return()
endif()
foreach(count "perft nodes=4865609 " "perft nodes=4085603 ")
  string(FIND "${replies}" "${count}" at)
  if(at EQUAL -1)
    fall_back("the instrumented engine did not report \"${count}\"")
    return()
  endif()
endforeach()
# The profile files are named after the objects' paths below the build folder;
# the engine's main object proves the names will match in the real build.
if(NOT EXISTS "${PROFILE_DIR}/CMakeFiles#vellowind.dir#uci#uci.cpp.gcda")
  fall_back("the training wrote no profile where the build looks for it (${PROFILE_DIR})")
  return()
endif()

# A profile that no longer matches a function (a source edited in between)
# is dropped for that function with a warning, not an error.
set(use "\"-fprofile-use=${PROFILE_DIR}\" \"-fprofile-prefix-path=${BIN}\" -Wno-error=coverage-mismatch")
set(link "")
if(LTO)
  string(APPEND use " -flto=auto -fno-fat-lto-objects")
  set(link "-flto=auto")
endif()
file(WRITE "${COMPILE_RSP}" "${use}\n")
file(WRITE "${LINK_RSP}" "${link}\n")
message(STATUS "Profile-guided build: trained, building the optimised engine")
