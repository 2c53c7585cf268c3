# Every package the build uses, found once here from Debian's packages. Targets are named after
# the package: PkgConfig::<NAME> for pkg-config modules, the package's own targets otherwise.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ZLIB REQUIRED GLOBAL)
find_package(Boost 1.74 REQUIRED)

# velmo_find_module(NAME module...): one pkg-config target for the modules, visible everywhere.
macro(velmo_find_module name)
  pkg_check_modules(${name} REQUIRED IMPORTED_TARGET GLOBAL ${ARGN})
endmacro()

# Foundation: property lists, Unicode, HTTP, TLS.
velmo_find_module(PLIST libplist-2.0)
velmo_find_module(ICU icu-uc icu-i18n)
velmo_find_module(CURL libcurl)
velmo_find_module(OPENSSL openssl)

# Desktop: X11 and its extensions, JPEG, the session bus.
velmo_find_module(X11 x11)
velmo_find_module(XI xi)
velmo_find_module(XRANDR xrandr)
velmo_find_module(XEXT xext)
velmo_find_module(XFIXES xfixes)
velmo_find_module(XCOMPOSITE xcomposite)
velmo_find_module(XTST xtst)
# Shared-memory reads sent without waiting for each reply.
velmo_find_module(XCB_SHM x11-xcb xcb-shm)
# Window attributes, shapes and pixmaps asked for all at once.
velmo_find_module(XCB_SHAPE x11-xcb xcb-shape xcb-composite)
velmo_find_module(TURBOJPEG libturbojpeg)
# The scanline interface, for encoding while a screenshot is still being scaled.
velmo_find_module(LIBJPEG libjpeg)
velmo_find_module(SYSTEMD libsystemd)

# Media: resampling, sound server, MPEG audio, video, speech.
velmo_find_module(SOXR soxr)
velmo_find_module(PULSE libpulse)
velmo_find_module(PULSE_SIMPLE libpulse-simple)
velmo_find_module(MPG123 libmpg123)
velmo_find_module(GSTREAMER gstreamer-1.0 gstreamer-app-1.0 gstreamer-video-1.0)
# Debian's sphinxbase.pc names an include folder that the multiarch package no longer has, which
# an imported target refuses: keep only the folders that exist.
pkg_check_modules(SPHINX REQUIRED pocketsphinx sphinxbase)
set(velmo_sphinx_includes "")
foreach(dir IN LISTS SPHINX_INCLUDE_DIRS)
  if(EXISTS "${dir}")
    list(APPEND velmo_sphinx_includes "${dir}")
  endif()
endforeach()
add_library(velmo_sphinx INTERFACE)
target_include_directories(velmo_sphinx SYSTEM INTERFACE ${velmo_sphinx_includes})
target_compile_options(velmo_sphinx INTERFACE ${SPHINX_CFLAGS_OTHER})
target_link_libraries(velmo_sphinx INTERFACE ${SPHINX_LINK_LIBRARIES})

# Drawing.
velmo_find_module(CAIRO_PANGO cairo pango pangocairo)

# The recogniser's request model is made at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The onboarding music is encoded at build time.
find_program(VELMO_LAME lame REQUIRED)

if(VELMO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(VELMO_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
