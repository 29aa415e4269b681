# Checks the layers that a manifest (written by tests/layers/CMakeLists.txt) describes:
#   cmake -DMANIFEST=layers.cmake -DROOT=<source folder> -P check_layers.cmake
# A manifest names the layers (targets), those below the GUI part, and for each its files
# (relative to ROOT) and the targets it links. Fails, naming each fault, when a layer below
# the GUI part links anything of Qt but Qt Core and Qt D-Bus, or a layer above it; or when a file
# includes a header of a target that its own does not link.

cmake_minimum_required(VERSION 3.25)
include(${MANIFEST})

# Besides each other, the layers below the GUI part may link these alone: libsystemd for
# the journal and sd_notify of the system service.
set(lower_layers_may_link tavrin_common Qt6::Core Qt6::DBus Threads::Threads PkgConfig::SYSTEMD)

foreach(layer IN LISTS layers)
  foreach(file IN LISTS ${layer}_files)
    set(owner_of_${file} ${layer})
  endforeach()
endforeach()

# The layer itself and whatever it links, directly or through another layer.
function(reachable_from layer result)
  set(reached ${layer})
  set(pending ${layer})
  while(pending)
    list(POP_FRONT pending current)
    foreach(link IN LISTS ${current}_links)
      if(NOT link IN_LIST reached)
        list(APPEND reached ${link})
        if(link IN_LIST layers)
          list(APPEND pending ${link})
        endif()
      endif()
    endforeach()
  endwhile()
  set(${result} ${reached} PARENT_SCOPE)
endfunction()

set(faults 0)
set(includes 0)
foreach(layer IN LISTS layers)
  reachable_from(${layer} reached)
  if(layer IN_LIST lower_layers)
    foreach(link IN LISTS reached)
      if(NOT link IN_LIST lower_layers AND NOT link IN_LIST lower_layers_may_link)
        message("${layer} links ${link}, which no layer below the GUI part may")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endif()
  foreach(file IN LISTS ${layer}_files)
    file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
      if(DEFINED owner_of_${header})
        math(EXPR includes "${includes} + 1")
        if(NOT owner_of_${header} IN_LIST reached)
          message("${file} includes ${header} of ${owner_of_${header}}, which ${layer} does not link")
          math(EXPR faults "${faults} + 1")
        endif()
      elseif(EXISTS ${ROOT}/${header})
        message("${file} includes ${header}, which belongs to no layer")
        math(EXPR faults "${faults} + 1")
      endif() # else made by the build, such as a moc file
    endforeach()
  endforeach()
endforeach()

if(faults GREATER 0)
  message(FATAL_ERROR "${faults} faults in the layers")
endif()
list(LENGTH layers layer_count)
message("${layer_count} layers, ${includes} includes between their files: all in order")
