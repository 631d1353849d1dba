# One static library per source folder. Every .cpp of the folder belongs to it, so a new unit needs
# no edit here (the glob is re-checked at build time).
#   LINKS       the project's folder libraries this one builds on; public, since its headers
#               include theirs
#   LIBRARIES   third-party libraries, linked PRIVATE: a folder that does not name a library
#               cannot include its headers, so the platform wall is held by the build and not only
#               by review (a use in a header would break every folder that includes it)
#   INTERFACE_LIBRARIES  third-party libraries whose types the folder's own headers expose (only
#               the window's Qt widgets)
function(vexa_folder_library name)
  cmake_parse_arguments(ARG "" "" "LINKS;LIBRARIES;INTERFACE_LIBRARIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src" "${PROJECT_BINARY_DIR}/generated")
  target_link_libraries(${name} PUBLIC ${ARG_LINKS} ${ARG_INTERFACE_LIBRARIES} PRIVATE ${ARG_LIBRARIES})
endfunction()

# One GoogleTest executable per test folder, from every *_test.cpp in it. DEPENDS names what the
# suite runs besides itself (vexa_bundle for the built installer and its helpers, programs with
# links of their own); the stand-in product is always built first.
function(vexa_test_suite name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "LINKS;DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS} vexa_test_support GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    VEXA_BUNDLE_DIR="${VEXA_BUNDLE_DIR}"
    VEXA_DEMO_PROGRAMS_DIR="${VEXA_DEMO_PROGRAMS_DIR}"
    VEXA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(${name} vexa_test_programs ${ARG_DEPENDS})
  # RESOURCE_LOCK keeps suites that share something outside the process (the loopback port the
  # installer bundle's deployment hosts lead to) from running at the same time.
  set(lock)
  if(ARG_RESOURCE_LOCK)
    set(lock RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300 ${lock})
endfunction()
