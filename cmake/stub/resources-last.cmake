# The linker's own default script with two changes: the resource section
# comes after .reloc, so that it is the image's last section and the file's
# last bytes. pxq pack rewrites the resources of every loader file it
# makes; a last section can grow or shrink without moving any other.
# Sets PXQ_RESOURCES_LAST_SCRIPT.
execute_process(COMMAND ${CMAKE_LINKER} --verbose OUTPUT_VARIABLE ld_verbose RESULT_VARIABLE ld_result)
set(rule "==================================================")
string(FIND "${ld_verbose}" "${rule}" script_begin)
string(FIND "${ld_verbose}" "${rule}" script_end REVERSE)
if(NOT ld_result EQUAL 0 OR script_begin EQUAL -1 OR script_end LESS_EQUAL script_begin)
  message(FATAL_ERROR "${CMAKE_LINKER} --verbose did not print its default linker script")
endif()
string(LENGTH "${rule}" rule_length)
math(EXPR script_begin "${script_begin} + ${rule_length}")
math(EXPR script_length "${script_end} - ${script_begin}")
string(SUBSTRING "${ld_verbose}" ${script_begin} ${script_length} script)

string(FIND "${script}" "  .rsrc BLOCK" rsrc_begin)
string(FIND "${script}" "  .reloc BLOCK" reloc_begin)
if(rsrc_begin EQUAL -1 OR reloc_begin LESS_EQUAL rsrc_begin)
  message(FATAL_ERROR "the default linker script does not place .rsrc right before .reloc")
endif()
# .rsrc's rule runs up to .reloc's; .reloc's up to its closing brace.
math(EXPR rsrc_length "${reloc_begin} - ${rsrc_begin}")
string(SUBSTRING "${script}" ${rsrc_begin} ${rsrc_length} rsrc_rule)
string(SUBSTRING "${script}" ${reloc_begin} -1 after_rsrc)
string(FIND "${after_rsrc}" "}\n" reloc_close)
math(EXPR reloc_length "${reloc_close} + 2")
string(SUBSTRING "${after_rsrc}" 0 ${reloc_length} reloc_rule)
string(SUBSTRING "${after_rsrc}" ${reloc_length} -1 rest)
string(SUBSTRING "${script}" 0 ${rsrc_begin} before)
set(script "${before}${reloc_rule}${rsrc_rule}${rest}")

# A second change: read-only data goes into .text (readable and executable,
# never writable), which saves the file-alignment padding of a section of
# its own. The .text rule now takes the .rdata input, so the .rdata rule
# finds none and its section is left out.
set(text_anchor "*(.gnu.linkonce.t.*)\n")
string(FIND "${script}" "${text_anchor}" text_at)
if(text_at EQUAL -1)
  message(FATAL_ERROR "the default linker script has no .gnu.linkonce.t.* line in its .text rule")
endif()
string(REPLACE "${text_anchor}" "${text_anchor}    *(.rdata)\n    *(SORT(.rdata$*))\n" script "${script}")

set(PXQ_RESOURCES_LAST_SCRIPT ${CMAKE_BINARY_DIR}/resources-last.ld)
file(WRITE ${PXQ_RESOURCES_LAST_SCRIPT} "${script}")
