# Fails when any of the shipped binaries in SHIPPED (a ;-list: libZentrel.so,
# the static runtime) carries a symbol of the tests' hooks, which all live in
# KoAtlCom::detail::fault (the allocation-failure countdown, the forced UTF-8
# decoding path). With INSTRUMENTED set, also requires that library
# to carry them, which proves that the pattern still finds the hook.
set(pattern "KoAtlCom::detail::fault::")

function(fault_symbols file out)
  execute_process(COMMAND nm -C -A ${file} OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  # nm -A on an archive names each member; an empty object makes nm warn, not fail.
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}: ${errors}")
  endif()
  execute_process(COMMAND nm -C -D -A ${file} OUTPUT_VARIABLE dynamic ERROR_QUIET)
  string(REPLACE "\n" ";" lines "${listing}\n${dynamic}")
  set(found "")
  foreach(line IN LISTS lines)
    string(FIND "${line}" "${pattern}" at)
    if(at GREATER -1)
      list(APPEND found "${line}")
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

foreach(file IN LISTS SHIPPED)
  fault_symbols(${file} found)
  if(found)
    list(JOIN found "\n  " text)
    message(FATAL_ERROR "${file} carries the tests' allocation-failure hook:\n  ${text}")
  endif()
  message(STATUS "${file}: no fault-injection symbol")
endforeach()

if(INSTRUMENTED)
  fault_symbols(${INSTRUMENTED} found)
  if(NOT found)
    message(FATAL_ERROR "${INSTRUMENTED} has no ${pattern} symbol: the check no longer finds the hook")
  endif()
endif()
