# Writes OUT: {"describe": git describe --always --dirty of SOURCE, "project_version": ...}.
# A tree without git history (a copy) takes VELMOR_GIT_DESCRIBE from the environment; what is
# unknown is null.
execute_process(COMMAND git describe --always --dirty WORKING_DIRECTORY ${SOURCE}
  OUTPUT_VARIABLE describe RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(failed OR describe STREQUAL "")
  set(describe "$ENV{VELMOR_GIT_DESCRIBE}")
endif()
foreach(name describe PROJECT_VERSION)
  if("${${name}}" STREQUAL "")
    set(${name}_json null)
  else()
    set(${name}_json "\"${${name}}\"")
  endif()
endforeach()
set(text "{\"describe\": ${describe_json}, \"project_version\": ${PROJECT_VERSION_json}}\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
