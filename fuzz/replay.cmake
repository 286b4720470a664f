# Each fuzz target's checks over its corpus, built with the normal compiler
# and run as an ordinary test: the default run gains what the model knows.
foreach(target stream names env_file)
  add_executable(${target}_replay ${CMAKE_CURRENT_LIST_DIR}/replay.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzzer.cpp)
  target_link_libraries(${target}_replay PRIVATE fillvars_core)
  add_test(NAME ${target}_corpus COMMAND ${target}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  # A few seconds even under the sanitizers or qemu.
  set_tests_properties(${target}_corpus PROPERTIES TIMEOUT 60)
endforeach()
# The targets stand in for descriptors with memory (see their wrappers).
target_link_options(stream_replay PRIVATE -Wl,--wrap=read,--wrap=write)
target_link_options(names_replay PRIVATE -Wl,--wrap=write)
target_link_options(env_file_replay PRIVATE -Wl,--wrap=write)
