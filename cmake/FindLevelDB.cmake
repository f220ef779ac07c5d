# LevelDB as the imported target LevelDB::LevelDB. Debian's own package configuration names
# snappy's development library, which nothing here installs; this needs only LevelDB itself.
# Installed beside the package configuration, which finds LevelDB through it too.
find_library(LEVELDB_LIBRARY leveldb)
find_path(LEVELDB_INCLUDE_DIR leveldb/db.h)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LevelDB REQUIRED_VARS LEVELDB_LIBRARY LEVELDB_INCLUDE_DIR)
if(LevelDB_FOUND AND NOT TARGET LevelDB::LevelDB)
  add_library(LevelDB::LevelDB UNKNOWN IMPORTED)
  set_target_properties(LevelDB::LevelDB PROPERTIES IMPORTED_LOCATION ${LEVELDB_LIBRARY}
                        INTERFACE_INCLUDE_DIRECTORIES ${LEVELDB_INCLUDE_DIR})
endif()
mark_as_advanced(LEVELDB_LIBRARY LEVELDB_INCLUDE_DIR)
