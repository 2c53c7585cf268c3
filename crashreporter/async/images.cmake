# Loaded images: the Mach-O and ELF readers, the image interface, the image list and its feeder.
target_sources(crashreporter_async PRIVATE
  zvcrash_async_macho.cpp
  zvcrash_async_elf.cpp
  zvcrash_async_image.cpp
  zvcrash_async_image_list.cpp
  zvcrash_async_image_feeder.cpp)
