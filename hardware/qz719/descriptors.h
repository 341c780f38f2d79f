// The chip's USB descriptors as plain fields. Every field can be overridden,
// and the computed ones (wTotalLength, bNumInterfaces, bNumEndpoints) can be
// forced to a lie, so tests can build malformed or odd devices; raw byte
// overrides replace a whole descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vax::hw::qz719 {

struct EndpointFields {
  std::uint8_t bLength = 7;
  std::uint8_t bDescriptorType = 5;
  std::uint8_t bEndpointAddress = 0;
  std::uint8_t bmAttributes = 2;  // 2 bulk, 3 interrupt
  std::uint16_t wMaxPacketSize = 32;
  std::uint8_t bInterval = 0;
};

struct Qz719Descriptors {
  // Device descriptor.
  std::uint8_t device_bLength = 18;
  std::uint8_t device_bDescriptorType = 1;
  std::uint16_t bcdUSB = 0x0110;
  std::uint8_t bDeviceClass = 0xFF;
  std::uint8_t bDeviceSubClass = 0;
  std::uint8_t bDeviceProtocol = 0;
  std::uint8_t bMaxPacketSize0 = 8;
  std::uint16_t idVendor = 0x1E5A;
  std::uint16_t idProduct = 0x0719;
  std::uint16_t bcdDevice = 0x0100;
  std::uint8_t iManufacturer = 1;
  std::uint8_t iProduct = 2;
  std::uint8_t iSerialNumber = 3;
  std::uint8_t bNumConfigurations = 1;

  // Configuration descriptor.
  std::uint8_t config_bLength = 9;
  std::uint8_t config_bDescriptorType = 2;
  std::optional<std::uint16_t> wTotalLength;   // default: the bytes actually built
  std::optional<std::uint8_t> bNumInterfaces;  // default: 1 with an interface, else 0
  std::uint8_t bConfigurationValue = 1;
  std::uint8_t iConfiguration = 0;
  std::uint8_t bmAttributes = 0x80;  // bus powered
  std::uint8_t bMaxPower = 0x32;     // units of 2 mA

  // Interface descriptor.
  bool has_interface = true;
  std::uint8_t interface_bLength = 9;
  std::uint8_t interface_bDescriptorType = 4;
  std::uint8_t bInterfaceNumber = 0;
  std::uint8_t bAlternateSetting = 0;
  std::optional<std::uint8_t> bNumEndpoints;  // default: endpoints.size()
  std::uint8_t bInterfaceClass = 0xFF;
  std::uint8_t bInterfaceSubClass = 0;
  std::uint8_t bInterfaceProtocol = 0;
  std::uint8_t iInterface = 0;

  // In descriptor order. The chip answers IN and OUT tokens only on the
  // endpoints listed here, with their packet sizes.
  std::vector<EndpointFields> endpoints;
  // Appended after the endpoints (further descriptors, padding).
  std::vector<std::uint8_t> trailing;

  std::string manufacturer = "Vaxport Devices";
  std::string product = "QZ719 USB Serial";
  std::string serial_number = "QZ0001";

  std::optional<std::vector<std::uint8_t>> raw_device;         // replaces the device descriptor
  std::optional<std::vector<std::uint8_t>> raw_configuration;  // replaces the whole set

  // The descriptors a chip of this version ships with: bMaxPower 0x40 on
  // generation 1, endpoints 0x81 (interrupt, 8 bytes), 0x82 and 0x02 (bulk,
  // 32 bytes).
  static Qz719Descriptors For(std::uint8_t version);

  std::vector<std::uint8_t> DeviceBytes() const;
  std::vector<std::uint8_t> ConfigurationBytes() const;
  // String descriptor `index` (0: the language list), or nothing.
  std::optional<std::vector<std::uint8_t>> StringBytes(std::uint8_t index) const;
  // The listed endpoint with this address, or nullptr.
  const EndpointFields* FindEndpoint(std::uint8_t address) const;
};

}  // namespace vax::hw::qz719
