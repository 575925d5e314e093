# The product's folders as layers, from the ground up. Run as
#   cmake -DROOT=<source folder> -P tests/layers.cmake
# A source file may include headers of its own folder and of the layers below, never of a layer
# above. Folders named on one line share a layer: they may use each other, but not in a loop. A
# file belongs to the longest folder of the list that holds it (app/studio/ is part of app/).
# Within and across folders, files never form a circle: a header and its .cpp count as one unit,
# so exec.h including device_memory.h while device_memory.cpp includes exec.h is a circle.
# The check lists every include that points up, every folder loop and every file circle, and fails
# when there is one, or when a source file sits in no listed folder.
cmake_minimum_required(VERSION 3.20)

set(TFR_LAYERS
  "device"                 # launches, device memory, device maths, the sampler
  "solver"                 # the grid solver and its phases
  "host/core"              # the host layer: files, text, keys, undo, platform
  "host/view"              # bitmaps, image codecs, rasteriser, viewports
  "host/scene"             # the scene model: scene, objects, class descriptors, parameter blocks
  "host/panels"            # command panels, their controls and parameter rollouts
  "host/objects"           # the built-in object classes
  "host/scene_file"        # the scene file: reader, writer and printer
  "host/plugins"           # plug-in modules and published functions
  "host/lua"               # the script engine
  "io"                     # our own file writers: zlib framing, PNG, OpenVDB
  "domain"                 # the domain's parameters, box, grid and adaptive window
  "capture"                # what the solver is told of the scene each frame; opening a run
  "cache"                  # cache files, the display frame, frame capture
  "render"                 # the volume renderer
  "export"                 # cached frames to VDB and PRT files, preview and composite images
  "bake"                   # SIMULATE, its outputs and restart points, live mode
  "viewport script presets" # viewport drawing, the script bridge, presets
  "plugin"                 # the plug-in module
  "app")                   # the tolvaris program and the studio

if(NOT ROOT)
  message(FATAL_ERROR "layers.cmake: set ROOT to the source folder")
endif()
# A relative ROOT (".") is taken from the working folder: the globs below find nothing under one.
get_filename_component(ROOT "${ROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "layers.cmake: ROOT ${ROOT} is not a folder")
endif()
# A relative ROOT (".") is taken from the working folder: the globs below find nothing under one.
get_filename_component(ROOT "${ROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "layers.cmake: ROOT ${ROOT} is not a folder")
endif()

# ---- The list to folders with their layer ------------------------------------------------------
set(folders "")
set(tops "")
set(rank 0)
foreach(entry IN LISTS TFR_LAYERS)
  string(REPLACE " " ";" names "${entry}")
  foreach(folder IN LISTS names)
    list(APPEND folders "${folder}")
    set(rank_${folder} ${rank})
    string(REGEX REPLACE "/.*" "" top "${folder}")
    list(APPEND tops "${top}")
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
list(REMOVE_DUPLICATES tops)

# The listed folder holding `path` (a file or an include, relative to ROOT); "" when none.
function(folder_of path out)
  set(best "")
  foreach(f IN LISTS folders)
    string(LENGTH "${f}" fl)
    string(LENGTH "${best}" bl)
    if(path MATCHES "^${f}/" AND fl GREATER bl)
      set(best "${f}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

# A file's unit: its path without the extension, so that a header and its .cpp are one.
function(unit_of path out)
  string(REGEX REPLACE "\\.[^./]+$" "" u "${path}")
  set(${out} "${u}" PARENT_SCOPE)
endfunction()

# One cycle of the graph whose nodes are `nodes` and whose edges from n are in `${prefix}${n}`, as
# "a -> b -> a"; "" when there is none. Nodes that lead to no cycle are pruned first (repeatedly
# dropping those whose edges all end at dropped nodes); every node left then has an edge to
# another one left, so walking them must come back to a node already on the path.
function(find_cycle nodes prefix out)
  set(left ${nodes})
  foreach(n IN LISTS nodes)
    set(node_${n} 1)
  endforeach()
  set(changed TRUE)
  while(changed)
    set(changed FALSE)
    set(kept "")
    foreach(n IN LISTS left)
      set(live FALSE)
      foreach(t IN LISTS ${prefix}${n})
        if(DEFINED node_${t} AND NOT DEFINED gone_${t})
          set(live TRUE)
          break()
        endif()
      endforeach()
      if(live)
        list(APPEND kept "${n}")
      else()
        set(gone_${n} 1)
        set(changed TRUE)
      endif()
    endforeach()
    set(left ${kept})
  endwhile()
  if(NOT left)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  list(GET left 0 node)
  set(path "${node}")
  while(TRUE)
    foreach(t IN LISTS ${prefix}${node})
      if(DEFINED node_${t} AND NOT DEFINED gone_${t})
        set(node "${t}")
        break()
      endif()
    endforeach()
    list(FIND path "${node}" at)
    if(at GREATER -1)
      list(SUBLIST path ${at} -1 cycle)
      list(APPEND cycle "${node}")
      string(REPLACE ";" " -> " text "${cycle}")
      set(${out} "${text}" PARENT_SCOPE)
      return()
    endif()
    list(APPEND path "${node}")
  endwhile()
endfunction()

# ---- Every include of every source file --------------------------------------------------------
set(problems 0)
set(checked 0)
set(units "")
set(edgeFolders "")
foreach(top IN LISTS tops)
  file(GLOB_RECURSE files RELATIVE "${ROOT}" "${ROOT}/${top}/*.h" "${ROOT}/${top}/*.cpp" "${ROOT}/${top}/*.cu")
  list(FILTER files EXCLUDE REGEX "/node_modules/")
  foreach(file IN LISTS files)
    folder_of("${file}" own)
    if(own STREQUAL "")
      message("${file} sits in no listed folder: add its folder to tests/layers.cmake")
      math(EXPR problems "${problems} + 1")
      continue()
    endif()
    unit_of("${file}" unit)
    list(APPEND units "${unit}")
    math(EXPR checked "${checked} + 1")
    get_filename_component(dir "${file}" DIRECTORY)
    file(STRINGS "${ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
      if(NOT header MATCHES "/")
        set(header "${dir}/${header}")  # beside the including file
      endif()
      folder_of("${header}" theirs)
      if(theirs STREQUAL "")
        continue()  # a system or test header
      endif()
      if(rank_${theirs} GREATER rank_${own})
        message("${file} (${own}) includes ${header} (${theirs}), a higher layer")
        math(EXPR problems "${problems} + 1")
      elseif(NOT theirs STREQUAL own AND rank_${theirs} EQUAL rank_${own})
        list(APPEND uses_${own} "${theirs}")
        list(APPEND edgeFolders "${own}")
      endif()
      unit_of("${header}" target)
      if(NOT target STREQUAL unit)
        list(APPEND includes_${unit} "${target}")
      endif()
    endforeach()
  endforeach()
endforeach()

# ---- Loops between the folders of one layer, circles between files -----------------------------
foreach(kind "folder loop|edgeFolders|uses_" "file circle|units|includes_")
  string(REPLACE "|" ";" parts "${kind}")
  list(GET parts 0 what)
  list(GET parts 1 nodesVar)
  list(GET parts 2 prefix)
  list(REMOVE_DUPLICATES ${nodesVar})
  # Report each cycle once, then cut its closing edge and look again.
  foreach(round RANGE 20)
    find_cycle("${${nodesVar}}" "${prefix}" cycle)
    if(cycle STREQUAL "")
      break()
    endif()
    message("${what}: ${cycle}")
    math(EXPR problems "${problems} + 1")
    string(REPLACE " -> " ";" steps "${cycle}")
    list(GET steps -2 from)
    list(GET steps -1 to)
    list(REMOVE_ITEM ${prefix}${from} "${to}")
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "layers.cmake: no source file of a listed folder under ${ROOT}")
endif()
if(problems GREATER 0)
  message(FATAL_ERROR "${problems} problem(s) against the layers")
endif()
message(STATUS "every include points down or sideways, with no folder loop and no file circle")
