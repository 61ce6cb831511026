# Third-party dependencies, all from Debian packages (scripts/setup installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
pkg_check_modules(ACE REQUIRED IMPORTED_TARGET ACE)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
# X11: headers only for the programs (libX11 is loaded at run time); the
# desktop's tests link it to make windows of their own.
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
if(QX_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
