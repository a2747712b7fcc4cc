# Build step: makes the manual pages scryde.1 (with every command), ScrydeReader.1 and Chekra.1, and
# the bash completion of scryde, from what the built programs print for --help. The help texts
# registered with the commands stay the one source: a command or option added there shows up here at
# the next build.
#
#   cmake -DSCRYDE=path [-DREADER=path] [-DCHEKRA=path] -DVERSION=x.y.z -DOUT=folder -P make_docs.cmake
#
# A help text is read as: "Usage:" lines (the synopsis), then paragraphs of running text, blank lines
# between paragraphs, and indented lines (option tables, examples) kept as they are.

cmake_minimum_required(VERSION 3.25)
file(MAKE_DIRECTORY "${OUT}")

# Characters that CMake lists would take apart, hidden while a text is handled line by line.
string(ASCII 1 _semi)
string(ASCII 2 _open)
string(ASCII 3 _close)

function(help_of out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "`${ARGN}` gave no help (${result}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The text as a list of lines.
function(lines_of out text)
  string(REPLACE ";" "${_semi}" text "${text}")
  string(REPLACE "[" "${_open}" text "${text}")
  string(REPLACE "]" "${_close}" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# One line as roff text: the hidden characters back, backslashes and hyphens escaped, and a leading
# control character made harmless.
function(roff out line)
  string(REPLACE "\\" "\\e" line "${line}")
  string(REPLACE "-" "\\-" line "${line}")
  string(REPLACE "${_semi}" ";" line "${line}")
  string(REPLACE "${_open}" "[" line "${line}")
  string(REPLACE "${_close}" "]" line "${line}")
  if(line MATCHES "^[.']")
    set(line "\\&${line}")
  endif()
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

# Splits a help text into its synopsis (the Usage: lines, without "Usage: ") and the rest.
function(split_usage text synopsis_out body_out)
  lines_of(lines "${text}")
  set(synopsis "")
  set(body "")
  set(in_usage TRUE)
  foreach(line IN LISTS lines)
    # "Usage: " and the continuation lines indented under it lose those seven columns.
    if(in_usage AND (line MATCHES "^Usage: " OR (NOT synopsis STREQUAL "" AND line MATCHES "^       ")))
      string(SUBSTRING "${line}" 7 -1 line)
      roff(r "${line}")
      string(APPEND synopsis "${r}\n")
    else()
      set(in_usage FALSE)
      string(APPEND body "${line}\n")
    endif()
  endforeach()
  set(${synopsis_out} "${synopsis}" PARENT_SCOPE)
  set(${body_out} "${body}" PARENT_SCOPE)
endfunction()

# The body of a help text as roff: running text filled, indented lines kept as they are.
function(body_roff out text)
  lines_of(lines "${text}")
  set(result "")
  set(mode "")  # "", "fill" or "nofill"
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      if(mode STREQUAL "nofill")
        string(APPEND result ".fi\n")
      endif()
      set(mode "")
      continue()
    endif()
    roff(r "${line}")
    if(line MATCHES "^ ")
      if(NOT mode STREQUAL "nofill")
        string(APPEND result ".PP\n.nf\n")
        set(mode "nofill")
      endif()
    elseif(NOT mode STREQUAL "fill")
      if(mode STREQUAL "nofill")
        string(APPEND result ".fi\n")
      endif()
      string(APPEND result ".PP\n")
      set(mode "fill")
    endif()
    string(APPEND result "${r}\n")
  endforeach()
  if(mode STREQUAL "nofill")
    string(APPEND result ".fi\n")
  endif()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# The first sentence of the first paragraph of a body, as the page's one-line description.
function(summary_of out body)
  string(REGEX REPLACE "^\n+" "" body "${body}")
  string(REGEX REPLACE "\n\n.*" "" body "${body}")
  string(REPLACE "\n" " " body "${body}")
  string(REGEX REPLACE "\\. .*" "" body "${body}")
  string(REGEX REPLACE "\\.$" "" body "${body}")
  string(SUBSTRING "${body}" 0 1 first)
  string(SUBSTRING "${body}" 1 -1 rest)
  string(TOLOWER "${first}" first)
  roff(body "${first}${rest}")
  set(${out} "${body}" PARENT_SCOPE)
endfunction()

function(page_header out name title summary)
  string(TOUPPER "${name}" upper)
  set(${out} ".TH ${upper} 1 \"\" \"${title} ${VERSION}\" \"User Commands\"
.SH NAME
${name} \\- ${summary}
" PARENT_SCOPE)
endfunction()

# A page for a program whose whole manual is its --help text.
function(program_page name program see_also)
  help_of(text "${program}" --help)
  split_usage("${text}" synopsis body)
  summary_of(summary "${body}")
  body_roff(description "${body}")
  page_header(page "${name}" "Scryde" "${summary}")
  string(APPEND page ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n.SH DESCRIPTION\n${description}.SH SEE ALSO\n${see_also}\n")
  file(WRITE "${OUT}/${name}.1" "${page}")
endfunction()

# A command's section of scryde.1, and its options for the completion.
set(_completion_cases "")
set(_option_values "")
function(command_section out name text)
  split_usage("${text}" synopsis body)
  body_roff(description "${body}")
  roff(title "${name}")
  set(${out} ".SS ${title}\n.nf\n${synopsis}.fi\n${description}" PARENT_SCOPE)
endfunction()

function(options_of out text)
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${text}")
  list(APPEND options --help)
  list(REMOVE_DUPLICATES options)
  list(SORT options)
  list(JOIN options " " options)
  set(${out} "${options}" PARENT_SCOPE)
endfunction()

# Option values written as "--opt a|b|c" in a help text, gathered into _option_values (opt=values).
function(collect_values text)
  string(REGEX MATCHALL "--[a-z][a-z0-9-]* [a-z0-9]+(\\|[a-z0-9]+)+" pairs "${text}")
  set(values "${_option_values}")
  foreach(pair IN LISTS pairs)
    string(REGEX MATCH "^(--[a-z0-9-]+) (.*)$" m "${pair}")
    string(REPLACE "|" " " words "${CMAKE_MATCH_2}")
    string(APPEND values "${CMAKE_MATCH_1}=${words}\n")
  endforeach()
  set(_option_values "${values}" PARENT_SCOPE)
endfunction()

# scryde: the overview, then every command (and every kind of `scryde sim`).
help_of(main "${SCRYDE}" --help)
split_usage("${main}" synopsis body)
summary_of(summary "${body}")
body_roff(description "${body}")
page_header(page scryde "Scryde" "${summary}")
string(APPEND page ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n.SH DESCRIPTION\n${description}.SH COMMANDS\n")

string(REGEX MATCH "\nCommands:\n(( +[^\n]*\n)+)" _table "${main}")
string(REGEX MATCHALL "\n +[a-z][a-z0-9-]*" commands "\n${CMAKE_MATCH_1}")
list(TRANSFORM commands REPLACE "^\n +" "")
if(NOT commands)
  message(FATAL_ERROR "scryde --help lists no commands")
endif()
list(JOIN commands " " _command_words)
foreach(command IN LISTS commands)
  help_of(text "${SCRYDE}" ${command} --help)
  command_section(section "${command}" "${text}")
  string(APPEND page "${section}")
  collect_values("${text}")
  if(command STREQUAL "sim")
    string(REGEX MATCH "\nKinds:\n(( +[^\n]*\n)+)" _table "${text}")
    string(REGEX MATCHALL "\n +[a-z][a-z0-9-]*" kinds "\n${CMAKE_MATCH_1}")
    list(TRANSFORM kinds REPLACE "^\n +" "")
    list(JOIN kinds " " _kind_words)
    set(_kind_cases "")
    foreach(kind IN LISTS kinds)
      help_of(kind_text "${SCRYDE}" sim ${kind} --help)
      command_section(section "sim ${kind}" "${kind_text}")
      string(APPEND page "${section}")
      collect_values("${kind_text}")
      options_of(options "${kind_text}")
      string(APPEND _kind_cases "                ${kind}) options=\"${options}\" ;;\n")
    endforeach()
    string(APPEND _completion_cases "        sim)
            if (( COMP_CWORD == 2 )); then
                COMPREPLY=($(compgen -W \"${_kind_words} --help\" -- \"$cur\"))
                return
            fi
            case \${COMP_WORDS[2]} in
${_kind_cases}            esac ;;
")
  else()
    options_of(options "${text}")
    string(APPEND _completion_cases "        ${command}) options=\"${options}\" ;;\n")
  endif()
endforeach()
set(_see_also "")
if(READER)
  list(APPEND _see_also ".BR ScrydeReader (1)")
endif()
if(CHEKRA)
  list(APPEND _see_also ".BR Chekra (1)")
endif()
list(JOIN _see_also "\n" _see_also_text)
if(_see_also_text)
  string(APPEND page ".SH SEE ALSO\n${_see_also_text}\n")
endif()
file(WRITE "${OUT}/scryde.1" "${page}")

if(READER)
  program_page(ScrydeReader "${READER}" ".BR scryde (1),\n.BR Chekra (1)")
endif()
if(CHEKRA)
  program_page(Chekra "${CHEKRA}" ".BR scryde (1),\n.BR ScrydeReader (1)")
endif()

# The completion: commands first, then each command's options, and the values of options that
# take one of a few words.
lines_of(_pairs "${_option_values}")
list(REMOVE_DUPLICATES _pairs)
set(_value_cases "")
set(_seen "")
foreach(_pair IN LISTS _pairs)
  string(REGEX MATCH "^([^=]+)=(.*)$" _m "${_pair}")
  set(_opt "${CMAKE_MATCH_1}")
  if(_opt IN_LIST _seen)
    continue()
  endif()
  list(APPEND _seen "${_opt}")
  # Every value any command gives this option.
  set(_all "")
  foreach(_other IN LISTS _pairs)
    if(_other MATCHES "^${_opt}=(.*)$")
      string(REPLACE " " ";" _v "${CMAKE_MATCH_1}")
      list(APPEND _all ${_v})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _all)
  list(JOIN _all " " _all)
  string(APPEND _value_cases "        ${_opt}) COMPREPLY=($(compgen -W \"${_all}\" -- \"$cur\")); return ;;\n")
endforeach()

file(WRITE "${OUT}/scryde.bash" "# bash completion for scryde, made at build time from its --help texts.
_scryde() {
    local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]} options=\"\"
    if (( COMP_CWORD == 1 )); then
        COMPREPLY=($(compgen -W \"${_command_words} --help --version\" -- \"$cur\"))
        return
    fi
    case $prev in
${_value_cases}    esac
    case \${COMP_WORDS[1]} in
${_completion_cases}    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))
    else
        COMPREPLY=()  # file names, through -o default
    fi
}
complete -o default -F _scryde scryde
")
