# Build-time check of the boundary between the command layer and the card:
# the command layer (CARDAPI, a static library) may use of the card library
# (VCARD) only its two entry points, SetVEFlashFile and DAZI_IO. Any other
# symbol the card defines and the command layer needs fails the build.
# Run as: cmake -DNM=... -DCARDAPI=... -DVCARD=... -P CardBoundary.cmake
set(_allowed "SetVEFlashFile(char const*)" "DAZI_IO(unsigned char const*, unsigned int, unsigned char*, unsigned int*)")

function(_symbols lib flags out)
  execute_process(COMMAND ${NM} -C ${flags} ${lib} OUTPUT_VARIABLE _text RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "card boundary: ${NM} failed on ${lib}")
  endif()
  string(REPLACE ";" "\\;" _text "${_text}")
  string(REPLACE "\n" ";" _lines "${_text}")
  set(_names)
  foreach(_l IN LISTS _lines)
    if(_l MATCHES "^[0-9a-fA-F ]* ([TDBRU]) (.+)$")
      list(APPEND _names "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${_names}" PARENT_SCOPE)
endfunction()

_symbols(${VCARD} "--defined-only;-g" _card)
_symbols(${CARDAPI} "-u" _needed)
set(_bad)
foreach(_s IN LISTS _needed)
  list(FIND _card "${_s}" _i)
  list(FIND _allowed "${_s}" _ok)
  if(_i GREATER -1 AND _ok EQUAL -1)
    list(APPEND _bad "${_s}")
  endif()
endforeach()
if(_bad)
  list(REMOVE_DUPLICATES _bad)
  string(REPLACE ";" "\n  " _msg "${_bad}")
  message(FATAL_ERROR "cardapi reaches the card other than through SetVEFlashFile and DAZI_IO:\n  ${_msg}")
endif()
