# Check that the card (vcard/) and the command layer (cardapi/) name the card
# protocol instead of spelling it: vcard/card_protocol.h is the one place where
# status words and instruction bytes are written as numbers.
#   Run as: cmake -DROOT=<folder> [-DDIRS=vcard;cardapi] -P CardProtocolNames.cmake
# Every *.cpp and *.h of ROOT/<dir> (the protocol header excepted) is read;
# a finding prints "file:line: reason: text" and the run fails. The rules:
#  - a status word literal anywhere, comments included: 0x6XXX or 0x9XXX as a
#    whole hexadecimal number (0x9000, 0x6A82, 0x6C00, 0x63C0, ...), or its
#    high byte shifted into place (0x6C << 8);
#  - a number as the class or instruction byte of a command frame
#    (frame_init's second and third argument), as the instruction of the
#    frame helpers (chunk_frame, matrix_frame, card_hash), assigned to,
#    compared or masked with an INS or CLA field (or an `ins`/`cla`
#    variable), or as a case label of a switch on the instruction;
#  - a number as the class or instruction of a row of the instruction tables
#    (InsDats, InsFuncs, Valid_CLA); the rows that end a table, and the
#    comparisons with 0 that find that end, are exempt.
if(NOT ROOT)
  message(FATAL_ERROR "card protocol names: ROOT not given")
endif()
if(NOT DIRS)
  set(DIRS vcard cardapi)
endif()

set(_num "(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*")
set(_sw "(^|[^0-9A-Za-z_])0[xX][69][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][uUlL]*([^0-9A-Za-z_]|$)")
set(_sw_shift "(^|[^0-9A-Za-z_])0[xX][69][0-9A-Fa-f][uUlL]*[ \t]*<<[ \t]*8")
set(_frame "frame_init[ \t]*\\([^,]*,[ \t]*${_num}[ \t]*[,)]|frame_init[ \t]*\\([^,]*,[^,]*,[ \t]*${_num}[ \t]*[,)]")
set(_helper "(chunk_frame|matrix_frame)[ \t]*\\([^,]*,[ \t]*${_num}[ \t]*[,)]|card_hash[ \t]*\\([ \t]*${_num}[ \t]*[,)]")
set(_ins_cmp "(INS|CLA|[^0-9A-Za-z_]ins|[^0-9A-Za-z_]cla)[ \t]*(==|!=|=|&)[ \t]*${_num}([^0-9A-Za-z_]|$)")
set(_ins_cmp_rev "${_num}[ \t]*(==|!=|&)[ \t]*([A-Za-z_.>-]*INS|[A-Za-z_.>-]*CLA|ins|cla)([^0-9A-Za-z_]|$)")
set(_ins_end "(INS|[^0-9A-Za-z_]ins)[ \t]*(==|!=)[ \t]*0([^0-9A-Za-zxX_]|$)")
set(_case "^[ \t]*case[ \t]+${_num}[ \t]*:")
set(_row_ins "^[ \t]*\\{[ \t]*(${_num}|[A-Za-z_]+[ \t]*,[ \t]*${_num})[ \t]*,")
set(_valid_cla "Valid_CLA[^=]*=[^;]*[{,][ \t]*${_num}")

set(_found)
foreach(_dir IN LISTS DIRS)
  file(GLOB _files ${ROOT}/${_dir}/*.cpp ${ROOT}/${_dir}/*.h)
  list(SORT _files)
  foreach(_f IN LISTS _files)
    get_filename_component(_name ${_f} NAME)
    if(_dir STREQUAL "vcard" AND _name STREQUAL "card_protocol.h")
      continue()
    endif()
    # One list item per line: characters that a CMake list treats specially
    # (backslash, semicolon, square brackets) are masked first.
    file(READ ${_f} _text)
    string(REPLACE "\\" "@BS@" _text "${_text}")
    string(REPLACE ";" "@SC@" _text "${_text}")
    string(REPLACE "[" "@LB@" _text "${_text}")
    string(REPLACE "]" "@RB@" _text "${_text}")
    string(REPLACE "\n" ";" _lines "${_text}")
    set(_n 0)
    set(_switch_indent "")
    set(_in_table FALSE)
    foreach(_l IN LISTS _lines)
      math(EXPR _n "${_n} + 1")
      set(_why "")
      # Comparisons of an instruction with 0 (finding a table's end) are
      # taken out before the instruction rules look at the line.
      string(REGEX REPLACE "${_ins_end}" " " _probe "${_l}")
      if(_l MATCHES "${_sw}" OR _l MATCHES "${_sw_shift}")
        set(_why "status word")
      elseif(_l MATCHES "${_frame}" OR _l MATCHES "${_helper}")
        set(_why "class or instruction byte of a command frame")
      elseif(_probe MATCHES "${_ins_cmp}" OR _probe MATCHES "${_ins_cmp_rev}")
        set(_why "class or instruction byte")
      elseif(_in_table AND _l MATCHES "${_row_ins}" AND NOT _l MATCHES "//[ \t]*end")
        set(_why "class or instruction byte of a table row")
      elseif(_l MATCHES "${_valid_cla}")
        set(_why "class byte of a table row")
      elseif(NOT _switch_indent STREQUAL "" AND _l MATCHES "${_case}")
        set(_why "instruction byte as a case label")
      endif()
      # The instruction tables run from their definition to the closing "};".
      if(_l MATCHES "(InsDats|InsFuncs)@LB@[^=]*=[ \t]*{")
        set(_in_table TRUE)
      elseif(_l MATCHES "^[ \t]*}[ \t]*@SC@")
        set(_in_table FALSE)
      endif()
      # A switch on the instruction runs up to the brace at its own indent.
      if(_l MATCHES "^([ \t]*)switch[ \t]*\\(.*(INS|[^0-9A-Za-z_]ins)[ \t]*\\)")
        set(_switch_indent "${CMAKE_MATCH_1}}")
      elseif(NOT _switch_indent STREQUAL "" AND _l STREQUAL "${_switch_indent}")
        set(_switch_indent "")
      endif()
      if(_why)
        string(STRIP "${_l}" _text)
        file(RELATIVE_PATH _rel ${ROOT} ${_f})
        list(APPEND _found "${_rel}:${_n}: ${_why}: ${_text}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_found)
  string(REPLACE ";" "\n  " _msg "${_found}")
  string(REPLACE "@BS@" "\\" _msg "${_msg}")
  string(REPLACE "@SC@" ";" _msg "${_msg}")
  string(REPLACE "@LB@" "[" _msg "${_msg}")
  string(REPLACE "@RB@" "]" _msg "${_msg}")
  message(FATAL_ERROR "raw card protocol numbers outside vcard/card_protocol.h (use its names):\n  ${_msg}")
endif()
message(STATUS "card protocol names: no raw status word or instruction byte in ${DIRS}")
