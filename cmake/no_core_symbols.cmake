# Fails when MODULE leaves a symbol of the ring core undefined: such a module builds, then
# fails at import with "undefined symbol". Run after linking quorvane_reader's native part.
execute_process(COMMAND ${NM} -D --undefined-only -C ${MODULE}
  OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
string(REGEX MATCHALL "quorvane::[^\n]*" core "${undefined}")
if(core)
  list(JOIN core "\n  " listed)
  message(FATAL_ERROR "${MODULE} calls out-of-line code of the ring core, which it does not "
    "link:\n  ${listed}\nIt may use only the core's inline code (quorvane/shm_ring.hpp's "
    "inline members, quorvane/cursor.hpp).")
endif()
