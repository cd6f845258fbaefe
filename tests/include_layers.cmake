# Checks that includes point one way (engines <- ui <- tool windows, ui <- app) and that
# engines never write to a terminal. Run as: cmake -DSRC=<src folder> -P include_layers.cmake
set(engine_dirs platform service cpubench diskbench capacity usbtest)
set(failures "")

function(check_files files pattern why)
  foreach(file IN LISTS files)
    file(STRINGS ${file} lines)
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(line MATCHES "^[ \t]*//")
        continue()
      endif()
      if(line MATCHES "${pattern}")
        list(APPEND failures "${file}:${number}: ${why}")
      endif()
    endforeach()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

foreach(dir IN LISTS engine_dirs)
  file(GLOB files ${SRC}/${dir}/*.h ${SRC}/${dir}/*.cpp)
  check_files("${files}" "#include [<\"](Q|ui/|app/|chart/|[a-z]+/ui/)" "engine includes window code")
  check_files("${files}" "std::cout|std::cerr|(^|[^a-z_])printf\\(|(^|[^a-z_])(stdout|stderr)([^a-z_]|$)"
              "engine writes to a terminal")
endforeach()

file(GLOB ui_files ${SRC}/ui/*.h ${SRC}/ui/*.cpp)
check_files("${ui_files}" "#include \"(app/|[a-z]+/ui/)" "window library includes a window")

file(GLOB tool_window_files ${SRC}/*/ui/*.h ${SRC}/*/ui/*.cpp)
check_files("${tool_window_files}" "#include \"app/" "tool window includes the launcher")

if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
