# One static library per engine folder, linked only to the layers below it:
#   base <- platform <- service <- cpubench, diskbench, capacity, usbtest
# Each library is also linked alone into a throw-away shared object that may leave no
# symbol undefined, so a call into a layer the folder does not list fails the build, as an
# include that points the wrong way fails tests/include_layers.cmake.
set(SORVANTA_LAYER_CHECK_SOURCE ${CMAKE_CURRENT_LIST_DIR}/layer_check.cpp)

function(sorvanta_layer name)
  cmake_parse_arguments(LAYER "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${LAYER_DEPENDS})
  # Sanitizer runtimes are only linked into programs, so instrumented trees skip the check.
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    add_library(${name}_layer_check SHARED ${SORVANTA_LAYER_CHECK_SOURCE})
    target_link_libraries(${name}_layer_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}>")
    target_link_options(${name}_layer_check PRIVATE -Wl,--no-undefined)
    set_target_properties(${name}_layer_check PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/layer_check)
  endif()
endfunction()

# The windows of one tool (src/<engine>/ui/): a library on the window library and the
# tool's own engine, plus whatever else it names (the chart control, platform).
function(sorvanta_tool_windows name)
  cmake_parse_arguments(WINDOWS "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC sorvanta_ui ${WINDOWS_DEPENDS})
endfunction()
