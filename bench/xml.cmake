# The XML benchmark compares against pugixml (peer only, never linked into the library).
if(TARGET tolvan_xml_bench)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
    target_link_libraries(tolvan_xml_bench PRIVATE PkgConfig::PUGIXML)
endif()
