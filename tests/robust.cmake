# Fault injection and hostile-input tests. The interposer cannot take the
# place of the calls that the sanitizers' runtime (linked into the program)
# intercepts, so the cases that need it are skipped in sanitizer builds.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(robust_dir ${CMAKE_CURRENT_LIST_DIR})

if(FILLVARS_SANITIZE)
  set(failcall_path none)
  set(stress_flags --quick --sanitized)
else()
  add_library(failcall MODULE ${robust_dir}/failcall.cpp)
  target_link_libraries(failcall PRIVATE ${CMAKE_DL_LIBS})
  set(failcall_path $<TARGET_FILE:failcall>)
  set(stress_flags --quick)
endif()

add_test(NAME faults COMMAND Python3::Interpreter ${robust_dir}/faults.py
         $<TARGET_FILE:fillvars> ${failcall_path})
add_test(NAME hostile COMMAND Python3::Interpreter ${robust_dir}/stress.py ${stress_flags}
         $<TARGET_FILE:fillvars>)
add_test(NAME nonblocking COMMAND Python3::Interpreter ${robust_dir}/nonblocking.py
         $<TARGET_FILE:fillvars> ${failcall_path})
add_test(NAME output_file COMMAND Python3::Interpreter ${robust_dir}/output_file.py
         $<TARGET_FILE:fillvars> ${failcall_path})
add_test(NAME template_folder COMMAND Python3::Interpreter ${robust_dir}/template_folder.py
         $<TARGET_FILE:fillvars> ${failcall_path})
set_tests_properties(faults hostile nonblocking output_file PROPERTIES TIMEOUT 300)
# About 40 s on a shared two-core machine: ten times that.
set_tests_properties(template_folder PROPERTIES TIMEOUT 600)
