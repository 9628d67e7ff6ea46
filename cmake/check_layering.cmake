# Fails when a subsystem includes a header of a subsystem it may not use. The direction is
#   core <- manet <- msgs;  glib
#   config (core manet) | process (core) | jitter (msgs) <- ingest | signalling (msgs)
#   session (process msgs glib) <- gateway, which may use them all.
# Run as: cmake -DROOT=<source dir> -P check_layering.cmake

set(kelvra src/kelvra)
set(norvane src/platforms/posix/kelvra/norvane)
# folder|the include prefixes it may use besides its own, separated by commas
set(layers
  "${kelvra}/core|"
  "${kelvra}/manet|kelvra/core/"
  "${kelvra}/msgs|kelvra/core/,kelvra/manet/"
  "${kelvra}/glib|kelvra/core/"
  "${norvane}/config|kelvra/core/,kelvra/manet/"
  "${norvane}/process|kelvra/core/"
  "${norvane}/jitter|kelvra/core/,kelvra/manet/,kelvra/msgs/"
  "${norvane}/ingest|kelvra/core/,kelvra/manet/,kelvra/msgs/,kelvra/norvane/jitter/"
  "${norvane}/signalling|kelvra/core/,kelvra/manet/,kelvra/msgs/"
  "${norvane}/webrtc|kelvra/core/,kelvra/manet/,kelvra/msgs/,kelvra/glib/,kelvra/norvane/process/")

set(violations "")
foreach(layer IN LISTS layers)
  string(FIND "${layer}" "|" bar)
  string(SUBSTRING "${layer}" 0 ${bar} folder)
  math(EXPR rest "${bar} + 1")
  string(SUBSTRING "${layer}" ${rest} -1 allowed)
  string(REPLACE "," ";" allowed "${allowed}")
  # Its own headers: src/kelvra/x -> kelvra/x/, src/platforms/posix/kelvra/norvane/x -> ...
  string(REGEX REPLACE "^src/(platforms/posix/)?" "" own "${folder}/")
  list(APPEND allowed "${own}")
  file(GLOB_RECURSE files "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^#include \"kelvra/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      set(ok FALSE)
      foreach(prefix IN LISTS allowed)
        string(FIND "${header}" "${prefix}" at)
        if(at EQUAL 0)
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        file(RELATIVE_PATH rel "${ROOT}" "${file}")
        string(APPEND violations "\n  ${rel} includes ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "Includes against the direction of the subsystems:${violations}")
endif()
