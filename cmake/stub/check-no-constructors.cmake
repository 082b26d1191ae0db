# Fails when the linked stub holds any global constructor: the stub has no C
# runtime start-up, so nothing would ever run it (and a static object's
# destructor is registered by its constructor). The linker frames the list
# with -1 and 0, and the destructor list follows it, so an empty list is two
# pointers long. SYMBOL_PREFIX: "___" on x86 (C symbols carry an underscore
# there), "__" on x64; POINTER_BYTES: 4 or 8.
execute_process(COMMAND ${NM} ${IMAGE} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${IMAGE}")
endif()
foreach(name IN ITEMS CTOR DTOR)
  if(NOT symbols MATCHES "([0-9a-fA-F]+) [A-Za-z] ${SYMBOL_PREFIX}${name}_LIST__\n")
    message(FATAL_ERROR "no ${SYMBOL_PREFIX}${name}_LIST__ in ${IMAGE}")
  endif()
  set(${name} ${CMAKE_MATCH_1})
endforeach()
math(EXPR ctor_bytes "0x${DTOR} - 0x${CTOR}")
math(EXPR empty_bytes "2 * ${POINTER_BYTES}")
if(NOT ctor_bytes EQUAL empty_bytes)
  message(FATAL_ERROR "${IMAGE} has global constructors (${ctor_bytes} bytes of constructor list); "
                      "the stub has no start-up code to run them")
endif()
