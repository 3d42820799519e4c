# Dependencies of the Windows cross-build, all from Debian packages:
#  - SQLite from the amalgamation generated out of Debian's sqlite3 source
#    package (tools/windows/sqlite_amalgamation.sh), compiled in statically;
#  - GoogleTest built from Debian's googletest sources;
#  - the header-only MessagePack library (tests only) from the host's headers;
#  - zlib, odbc32, winhttp and the Win32 libraries from MinGW-w64.

set(QEL_SQLITE_AMALGAMATION "" CACHE PATH "Folder holding sqlite3.c and sqlite3.h")
if(NOT EXISTS "${QEL_SQLITE_AMALGAMATION}/sqlite3.c")
    message(FATAL_ERROR "QEL_SQLITE_AMALGAMATION must name a folder with sqlite3.c "
                        "(./qelexp.sh windows generates one)")
endif()
add_library(qel_sqlite3 STATIC ${QEL_SQLITE_AMALGAMATION}/sqlite3.c)
target_include_directories(qel_sqlite3 SYSTEM PUBLIC ${QEL_SQLITE_AMALGAMATION})
target_compile_definitions(qel_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_DQS=0
                                               SQLITE_ENABLE_COLUMN_METADATA)
target_compile_options(qel_sqlite3 PRIVATE -w)
add_library(SQLite::SQLite3 ALIAS qel_sqlite3)
# find_package(SQLite3) then finds these and keeps the target above.
set(SQLite3_INCLUDE_DIR ${QEL_SQLITE_AMALGAMATION} CACHE PATH "" FORCE)
set(SQLite3_LIBRARY qel_sqlite3 CACHE STRING "" FORCE)

# zlib's static archive: "libz.dll.a" also ends in ".a" but needs zlib1.dll.
find_library(ZLIB_LIBRARY NAMES libz.a REQUIRED)

# Windows 7 and later: the oldest system the stations still run.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN)

if(QEL_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

    # The MessagePack headers (tests cross-check the codec against them)
    # without the rest of the host's /usr/include.
    set(QEL_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${QEL_HOST_HEADERS})
    foreach(entry msgpack.hpp msgpack)
        if(EXISTS /usr/include/${entry} AND NOT EXISTS ${QEL_HOST_HEADERS}/${entry})
            file(CREATE_LINK /usr/include/${entry} ${QEL_HOST_HEADERS}/${entry} SYMBOLIC)
        endif()
    endforeach()
    include_directories(SYSTEM ${QEL_HOST_HEADERS})
    add_compile_definitions(MSGPACK_NO_BOOST)
endif()
