# The product's layers, from the ground up: a source file may include headers of its own layer and
# of the layers below it, never of one above. Run as
#   cmake -DROOT=<source folder> -P tests/layers.cmake
# It lists every include that points up and fails when there is one, or when a file of a product
# folder belongs to no layer.
#
# A layer is a list of patterns ('*' matches within a folder); a file belongs to the layer of the
# longest pattern it matches, so a folder's default ("sim/*") gives way to the files named apart.
# Four folders hold a core and the commands on it; their commands sit in higher layers:
#   domain/   the domain (its parameters, box and grid)   | domain/sim_run.cpp opens a run
#   sim/      the cache files, frame capture               | SIMULATE, its outputs, live mode
#   io/       the file writers (knowing nothing of frames) | the VDB export of a cached sequence
#   render/   the volume renderer                          | preview and composite
set(TFR_LAYERS
  "solver"        "solver/*"
  "host/core"     "host/core/*"
  "host/view"     "host/view/*"
  "host/scene"    "host/scene/*"
  "host/panels"   "host/panels/*"
  "host/objects"  "host/objects/*"
  "host/scene_file" "host/scene_file/*"
  "host/plugins"  "host/plugins/*"
  "host/lua"      "host/lua/*"
  "file writers"  "io/zlib_stored.* io/png_writer.* io/vdb_writer.*"
  "domain"        "domain/*"
  "sim core"      "sim/cache_file.* sim/half.h sim/display_cache.* sim/simulate_domain.h sim/frame_capture.*"
  "capture"       "capture/*"
  "domain run"    "domain/sim_run.cpp"
  "render"        "render/*"
  "io"            "io/*"            # the PRT writer: fire colours from the renderer
  "io commands"   "io/vdb_export.*"
  "render commands" "render/preview.*"
  "sim commands"  "sim/*"
  "viewport"      "viewport/*"
  "script"        "script/*"
  "presets"       "presets/*"
  "plugin"        "plugin/*"
  "app"           "app/* app/studio/*")

if(NOT ROOT)
  message(FATAL_ERROR "layers.cmake: set ROOT to the source folder")
endif()
# A relative ROOT (".") is taken from the working folder: the globs below find nothing under one.
get_filename_component(ROOT "${ROOT}" ABSOLUTE)
if(NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "layers.cmake: ROOT ${ROOT} is not a folder")
endif()

# ---- Patterns to (layer index, pattern) lists --------------------------------------------------
set(patterns "")
set(folders "")
list(LENGTH TFR_LAYERS n)
math(EXPR last "${n} - 1")
set(rank 0)
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET TFR_LAYERS ${i} name)
  list(GET TFR_LAYERS ${j} globs)
  set(layer_${rank} "${name}")
  string(REPLACE " " ";" globs "${globs}")
  foreach(g IN LISTS globs)
    string(REGEX REPLACE "/.*" "" top "${g}")
    list(APPEND folders "${top}")
    string(REPLACE "." "\\." re "${g}")
    string(REPLACE "*" "[^/]*" re "${re}")
    list(APPEND patterns "${rank}|^${re}$|${g}")
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
list(REMOVE_DUPLICATES folders)

# The layer of a file relative to ROOT; -1 when none.
function(layer_of file out)
  set(best -1)
  set(bestLength -1)
  foreach(p IN LISTS patterns)
    string(REPLACE "|" ";" parts "${p}")
    list(GET parts 0 r)
    list(GET parts 1 re)
    list(GET parts 2 g)
    if(file MATCHES "${re}")
      string(LENGTH "${g}" len)
      if(len GREATER bestLength)
        set(best ${r})
        set(bestLength ${len})
      endif()
    endif()
  endforeach()
  set(${out} ${best} PARENT_SCOPE)
endfunction()

# ---- Every include of every source file --------------------------------------------------------
set(problems 0)
set(checked 0)
foreach(top IN LISTS folders)
  file(GLOB_RECURSE files RELATIVE "${ROOT}" "${ROOT}/${top}/*.h" "${ROOT}/${top}/*.cpp" "${ROOT}/${top}/*.cu")
  foreach(file IN LISTS files)
    math(EXPR checked "${checked} + 1")
    layer_of("${file}" own)
    if(own EQUAL -1)
      message("${file} belongs to no layer: add it to tests/layers.cmake")
      math(EXPR problems "${problems} + 1")
      continue()
    endif()
    file(STRINGS "${ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
      if(NOT header MATCHES "/")
        continue()
      endif()
      layer_of("${header}" theirs)
      if(theirs GREATER own)
        message("${file} (${layer_${own}}) includes ${header} (${layer_${theirs}}), a higher layer")
        math(EXPR problems "${problems} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "layers.cmake: no source file of a product folder under ${ROOT}")
endif()
if(problems GREATER 0)
  message(FATAL_ERROR "${problems} include(s) against the layers")
endif()
message(STATUS "every include points down or sideways")
