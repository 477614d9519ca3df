# The macOS build: the real platform services under src/platform/macos/ and the signed
# application bundle Velmuro.app (executable Velmuro.app/Contents/MacOS/Velmuro).
# Included from the top-level CMakeLists.txt inside if(APPLE), so it runs at top-level file scope,
# where enable_language() may be called.

enable_language(OBJCXX)

# Process taps and CATapDescription exist from macOS 14.2 on.
if(CMAKE_OSX_DEPLOYMENT_TARGET AND CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS "14.2")
  message(FATAL_ERROR
    "Velmuro needs macOS 14.2 or later; CMAKE_OSX_DEPLOYMENT_TARGET is ${CMAKE_OSX_DEPLOYMENT_TARGET}")
endif()

set(VELMURO_BUNDLE_IDENTIFIER "com.quorvane.velmuro" CACHE STRING
  "Bundle identifier of Velmuro.app")
set(VELMURO_BUNDLE_VERSION "0.1.0" CACHE STRING "Version of Velmuro.app")
set(VELMURO_CODESIGN_IDENTITY "" CACHE STRING
  "Code signing identity for Velmuro.app; empty signs ad hoc")

set(VELMURO_BUNDLE_DIR ${PROJECT_SOURCE_DIR}/src/platform/macos/bundle)
set(VELMURO_ENTITLEMENTS ${VELMURO_BUNDLE_DIR}/Velmuro.entitlements)

file(GLOB VELMURO_MACOS_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/platform/macos/*.mm
  ${PROJECT_SOURCE_DIR}/src/platform/macos/*.cpp)

add_executable(velmuro MACOSX_BUNDLE
  ${PROJECT_SOURCE_DIR}/src/frontend/main.cpp
  ${VELMURO_MACOS_SOURCES})
target_link_libraries(velmuro PRIVATE
  velmuro_core
  "-framework CoreAudio"
  "-framework ApplicationServices"
  "-framework AppKit"
  "-framework Foundation"
  "-framework CoreFoundation"
  # The Objective-C runtime the .mm files call into (message sends, ARC's retain and release).
  objc)
# Automatic reference counting for the Objective-C++ files only.
target_compile_options(velmuro PRIVATE $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
set_target_properties(velmuro PROPERTIES
  OUTPUT_NAME Velmuro
  MACOSX_BUNDLE_INFO_PLIST ${VELMURO_BUNDLE_DIR}/Info.plist.in
  MACOSX_BUNDLE_BUNDLE_NAME Velmuro
  MACOSX_BUNDLE_GUI_IDENTIFIER ${VELMURO_BUNDLE_IDENTIFIER}
  MACOSX_BUNDLE_SHORT_VERSION_STRING ${VELMURO_BUNDLE_VERSION}
  MACOSX_BUNDLE_BUNDLE_VERSION ${VELMURO_BUNDLE_VERSION})
# A changed entitlements file relinks, and so re-signs, the bundle.
set_property(TARGET velmuro APPEND PROPERTY LINK_DEPENDS ${VELMURO_ENTITLEMENTS})

# Sign the whole bundle after every link: ad hoc by default; with the named identity, the hardened
# runtime and a secure timestamp (which notarization requires) when VELMURO_CODESIGN_IDENTITY is
# set. The entitlements go in either way, so the audio-input entitlement the process tap needs is
# always part of the signature.
if(VELMURO_CODESIGN_IDENTITY)
  set(VELMURO_CODESIGN_OPTIONS
    --sign "${VELMURO_CODESIGN_IDENTITY}" --options runtime --timestamp)
else()
  set(VELMURO_CODESIGN_OPTIONS --sign -)
endif()
add_custom_command(TARGET velmuro POST_BUILD
  COMMAND codesign --force ${VELMURO_CODESIGN_OPTIONS}
          --entitlements ${VELMURO_ENTITLEMENTS}
          $<TARGET_BUNDLE_DIR:velmuro>
  COMMENT "Signing Velmuro.app"
  VERBATIM)
