include_guard(GLOBAL)
find_program(VURN_GZIP gzip REQUIRED)

# vurn_gzip(<target> <file>): a target, built by default, that writes <file>.gz in the current
# binary folder, compressed the way Debian installs documentation (best, no name or time stamp).
function(vurn_gzip target file)
  get_filename_component(name ${file} NAME)
  add_custom_command(OUTPUT ${name}.gz
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${VURN_GZIP} ${file}
            ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
    DEPENDS ${file} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${name}.gz)
endfunction()
