# The folders of src/ are layers: a folder's files include only their own folder's headers
# and those of the folders below it. This script checks that, and prints the include graph
# folder by folder.
#
#   cmake -P tools/CheckLayers.cmake                 checks src/ and the README's layer line
#   cmake -DGRAPH=ON -P tools/CheckLayers.cmake      prints which folders each folder includes
#
# A new folder goes into the list below, at the height of what it needs, into the
# add_subdirectory order of src/CMakeLists.txt (bottom to top) and into the README's layer
# line; the script checks that the three agree. Includes name their folder from src/
# ("folder/File.h", or <folder/File.h>); a path with ".." in it is refused.

# Top to bottom.
set(layers app tray copy fixity workflow settings crestron playback game language log res platform)

get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(failures 0)

# The height of a folder: 0 at the bottom; -1 for a folder not in the list.
function(height_of folder out)
    list(FIND layers "${folder}" index)
    if(index EQUAL -1)
        set(${out} -1 PARENT_SCOPE)
    else()
        list(LENGTH layers count)
        math(EXPR h "${count} - 1 - ${index}")
        set(${out} ${h} PARENT_SCOPE)
    endif()
endfunction()

set(source_patterns *.h *.hpp *.hxx *.inl *.cpp *.cc *.cxx)

# Every source is in a folder of its own.
set(top_patterns)
foreach(pattern IN LISTS source_patterns)
    list(APPEND top_patterns "${root}/src/${pattern}")
endforeach()
file(GLOB top_sources RELATIVE "${root}" ${top_patterns})
foreach(source IN LISTS top_sources)
    message(SEND_ERROR "${source}: a source file at the top of src/ belongs in a folder of the layers")
    math(EXPR failures "${failures} + 1")
endforeach()

file(GLOB folders LIST_DIRECTORIES true RELATIVE "${root}/src" "${root}/src/*")
foreach(folder IN LISTS folders)
    if(NOT IS_DIRECTORY "${root}/src/${folder}")
        continue()
    endif()
    height_of(${folder} own)
    if(own EQUAL -1)
        message(SEND_ERROR "src/${folder}/ is not in the layer list of tools/CheckLayers.cmake")
        math(EXPR failures "${failures} + 1")
        continue()
    endif()
    set(uses)
    set(patterns)
    foreach(pattern IN LISTS source_patterns)
        list(APPEND patterns "${root}/src/${folder}/${pattern}")
    endforeach()
    file(GLOB_RECURSE sources RELATIVE "${root}" ${patterns})
    foreach(source IN LISTS sources)
        # Quoted includes with a folder, and bracketed ones that name a folder of src/.
        file(STRINGS "${root}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">/]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">/]+)/.*$" "\\1" target "${line}")
            string(STRIP "${line}" line)
            if(line MATCHES "^#[ \t]*include[ \t]*<" AND NOT IS_DIRECTORY "${root}/src/${target}")
                continue()  # a system or library header
            endif()
            if(line MATCHES "\\.\\.")
                message(SEND_ERROR "${source}: ${line}: an include names its folder from src/, without \"..\"")
                math(EXPR failures "${failures} + 1")
                continue()
            endif()
            if(target STREQUAL folder)
                continue()
            endif()
            list(APPEND uses ${target})
            height_of(${target} other)
            if(other EQUAL -1 OR other GREATER own)
                message(SEND_ERROR "${source}: ${line}: ${folder}/ may include only folders below it")
                math(EXPR failures "${failures} + 1")
            endif()
        endforeach()
    endforeach()
    if(GRAPH)
        list(REMOVE_DUPLICATES uses)
        list(SORT uses)
        list(JOIN uses " " uses)
        message(STATUS "${folder} -> ${uses}")
    endif()
endforeach()

# src/CMakeLists.txt adds the folders bottom to top.
file(READ "${root}/src/CMakeLists.txt" cmake_lists)
string(REGEX MATCH "foreach\\(folder ([a-z ]+)\\)" order "${cmake_lists}")
set(bottom_up ${layers})
list(REVERSE bottom_up)
list(JOIN bottom_up " " bottom_up)
if(NOT CMAKE_MATCH_1 STREQUAL bottom_up)
    message(SEND_ERROR "src/CMakeLists.txt adds \"${CMAKE_MATCH_1}\", not the layers bottom to top: \"${bottom_up}\"")
    math(EXPR failures "${failures} + 1")
endif()

# The README names the layers in the same order.
list(JOIN layers ", " line)
file(READ "${root}/README.md" readme)
string(FIND "${readme}" "${line}" at)
if(at EQUAL -1)
    message(SEND_ERROR "README.md does not name the layers as \"${line}\"")
    math(EXPR failures "${failures} + 1")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} include(s) or name(s) out of the layer order")
endif()
message(STATUS "src/: every include runs down the layers (${line})")
