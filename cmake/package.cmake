# The release package: the folder a technician drops beside the host, zipped as
# package/kmpparser-<project version>.zip in the build tree. It holds the plug-in with its language
# file, the field tools, the guide as HTML and the licence notice. The programs are stripped copies
# of the ones the Windows tests run, so the package carries what was tested.
# The system's interpreter (a Debian package that scripts/bootstrap installs), not one a user's
# own environment puts first on the path.
if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The 64-bit tree's twin of the package carries the programs it tests and says so in its name;
# only the 32-bit one is shipped.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZOL_PACKAGE_NAME kmpparser-${PROJECT_VERSION}-win64)
else()
    set(ZOL_PACKAGE_NAME kmpparser-${PROJECT_VERSION})
endif()
set(ZOL_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/${ZOL_PACKAGE_NAME})
set(ZOL_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/package/${ZOL_PACKAGE_NAME}.zip)
set(ZOL_PACKAGE_GUIDE ${CMAKE_BINARY_DIR}/package/guide.html)
set(ZOL_PACKAGE_TEXTS ${PROJECT_SOURCE_DIR}/src/dll/kmpparser.lng
                      ${PROJECT_SOURCE_DIR}/docs/package/NOTICE.txt ${ZOL_PACKAGE_GUIDE})

# The guide's pictures are embedded in the page; it is made again when one changes.
file(GLOB ZOL_GUIDE_IMAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/images/*)
add_custom_command(OUTPUT ${ZOL_PACKAGE_GUIDE}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/markdown-html
            ${PROJECT_SOURCE_DIR}/docs/guide.md ${ZOL_PACKAGE_GUIDE}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/guide.md ${PROJECT_SOURCE_DIR}/scripts/markdown-html
            ${ZOL_GUIDE_IMAGES}
    COMMENT "Guide as HTML")

add_custom_command(OUTPUT ${ZOL_PACKAGE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${ZOL_PACKAGE_DIR} ${ZOL_PACKAGE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZOL_PACKAGE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kmpparser> $<TARGET_FILE:hostsim>
            $<TARGET_FILE:kmptool> ${ZOL_PACKAGE_TEXTS} ${ZOL_PACKAGE_DIR}
    COMMAND ${CMAKE_STRIP} --strip-unneeded ${ZOL_PACKAGE_DIR}/kmpparser.dll
            ${ZOL_PACKAGE_DIR}/hostsim.exe ${ZOL_PACKAGE_DIR}/kmptool.exe
    COMMAND ${CMAKE_COMMAND} -E chdir ${ZOL_PACKAGE_DIR} ${CMAKE_COMMAND} -E tar cf
            ${ZOL_PACKAGE_ZIP} --format=zip kmpparser.dll kmpparser.lng hostsim.exe kmptool.exe
            guide.html NOTICE.txt
    DEPENDS kmpparser hostsim kmptool ${ZOL_PACKAGE_TEXTS}
    COMMENT "Release package ${ZOL_PACKAGE_NAME}.zip")

add_custom_target(dist_package ALL DEPENDS ${ZOL_PACKAGE_ZIP})
