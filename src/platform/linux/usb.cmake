# libusb-1.0 for the USB bulk seam (src/platform/linux/usb_bulk_libusb.cpp, built into
# zovir_platform). Without the library the seam is built as one that always fails.
if(TARGET zovir_platform AND NOT ZOVIR_USB_CONFIGURED)
  set(ZOVIR_USB_CONFIGURED ON)
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(ZOVIR_LIBUSB IMPORTED_TARGET GLOBAL libusb-1.0)
    if(ZOVIR_LIBUSB_FOUND)
      target_link_libraries(zovir_platform PUBLIC PkgConfig::ZOVIR_LIBUSB)
      target_compile_definitions(zovir_platform PRIVATE ZOVIR_HAVE_LIBUSB=1)
    endif()
  endif()
endif()
