# The driver's sources, one list for both builds: the host's static library (driver/) and the
# Windows image (windows/).
set(DRIVER_SOURCES
  frame/ledger.cpp
  frame/lifecycle.cpp
  frame/parameters.cpp
  frame/startup.cpp
  usb/configuration.cpp
  usb/discovery.cpp
  usb/eeprom.cpp
  usb/phy_access.cpp
  usb/registers.cpp
  usb/sync_request.cpp
  usb/tracked_request.cpp
  datapath/descriptors.cpp
  datapath/keepalive.cpp
  datapath/receive.cpp
  datapath/transmit.cpp
  media/link_poll.cpp
  media/media_switch.cpp
  media/mac_mode.cpp
  media/media_programming.cpp
  media/power_down.cpp
  requests/query.cpp
  requests/set.cpp
)
list(TRANSFORM DRIVER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# Kernel-style C++: no exceptions, no RTTI, warnings are errors.
set(DRIVER_COMPILE_OPTIONS -fno-exceptions -fno-rtti -Wall -Wextra -Werror -Wno-invalid-offsetof)
