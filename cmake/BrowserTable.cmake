# velmora_read_browser_table(): reads packaging/browsers.tsv, the one table of the browsers the
# host is registered for, into VELMORA_BROWSERS (the ids, in the table's order) and, for each id,
# VELMORA_BROWSER_<id>_<COLUMN> (NAME, FAMILY, USER, SYSTEM, POLICIES, PROGRAMS, FLATPAK, SNAP,
# SOURCE). List columns become CMake lists; "-" becomes empty. Ids may hold "-", which CMake names
# keep.
set(VELMORA_BROWSER_TABLE ${CMAKE_CURRENT_LIST_DIR}/../packaging/browsers.tsv)
set(_velmora_browser_columns ID NAME FAMILY USER SYSTEM POLICIES PROGRAMS FLATPAK SNAP SOURCE)

macro(velmora_read_browser_table)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELMORA_BROWSER_TABLE})
  file(STRINGS ${VELMORA_BROWSER_TABLE} _rows ENCODING UTF-8 REGEX "^[^#]")
  list(POP_FRONT _rows)  # the heading
  set(VELMORA_BROWSERS "")
  foreach(_row IN LISTS _rows)
    string(REPLACE "\t" ";" _cells "${_row}")
    list(LENGTH _cells _count)
    if(NOT _count EQUAL 10)
      message(FATAL_ERROR "browsers.tsv: a row needs 10 tab-separated cells, not ${_count}: ${_row}")
    endif()
    list(GET _cells 0 _id)
    list(APPEND VELMORA_BROWSERS ${_id})
    foreach(_column IN LISTS _velmora_browser_columns)
      list(POP_FRONT _cells _cell)
      if(_cell STREQUAL "-")
        set(_cell "")
      elseif(NOT _column STREQUAL "SOURCE" AND NOT _column STREQUAL "NAME")
        string(REPLACE "," ";" _cell "${_cell}")
      endif()
      set(VELMORA_BROWSER_${_id}_${_column} "${_cell}")
    endforeach()
    if(NOT VELMORA_BROWSER_${_id}_FAMILY MATCHES "^(chromium|firefox)$")
      message(FATAL_ERROR "browsers.tsv: ${_id}: the family is chromium or firefox")
    endif()
  endforeach()
endmacro()
