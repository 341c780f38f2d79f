#include "hardware/qz719/descriptors.h"

#include "hardware/qz719/qz719_protocol.h"

namespace vax::hw::qz719 {
namespace {

void Put16(std::vector<std::uint8_t>* out, std::uint16_t v) {
  out->push_back(std::uint8_t(v & 0xFF));
  out->push_back(std::uint8_t(v >> 8));
}

}  // namespace

Qz719Descriptors Qz719Descriptors::For(std::uint8_t version) {
  Qz719Descriptors d;
  d.bMaxPower = TraitsFor(version).bMaxPower;
  d.bcdDevice = std::uint16_t(version << 8);
  d.endpoints = {
      {7, 5, 0x81, 3, 8, 1},
      {7, 5, 0x82, 2, 32, 0},
      {7, 5, 0x02, 2, 32, 0},
  };
  return d;
}

std::vector<std::uint8_t> Qz719Descriptors::DeviceBytes() const {
  if (raw_device)
    return *raw_device;
  std::vector<std::uint8_t> out = {device_bLength, device_bDescriptorType};
  Put16(&out, bcdUSB);
  out.insert(out.end(), {bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0});
  Put16(&out, idVendor);
  Put16(&out, idProduct);
  Put16(&out, bcdDevice);
  out.insert(out.end(), {iManufacturer, iProduct, iSerialNumber, bNumConfigurations});
  return out;
}

std::vector<std::uint8_t> Qz719Descriptors::ConfigurationBytes() const {
  if (raw_configuration)
    return *raw_configuration;
  std::vector<std::uint8_t> out = {config_bLength,
                                   config_bDescriptorType,
                                   0,
                                   0,
                                   bNumInterfaces.value_or(has_interface ? 1 : 0),
                                   bConfigurationValue,
                                   iConfiguration,
                                   bmAttributes,
                                   bMaxPower};
  if (has_interface) {
    out.insert(out.end(),
               {interface_bLength, interface_bDescriptorType, bInterfaceNumber, bAlternateSetting,
                bNumEndpoints.value_or(std::uint8_t(endpoints.size())), bInterfaceClass,
                bInterfaceSubClass, bInterfaceProtocol, iInterface});
  }
  for (const EndpointFields& e : endpoints) {
    out.insert(out.end(), {e.bLength, e.bDescriptorType, e.bEndpointAddress, e.bmAttributes});
    Put16(&out, e.wMaxPacketSize);
    out.push_back(e.bInterval);
  }
  out.insert(out.end(), trailing.begin(), trailing.end());
  std::uint16_t total = wTotalLength.value_or(std::uint16_t(out.size()));
  out[2] = std::uint8_t(total & 0xFF);
  out[3] = std::uint8_t(total >> 8);
  return out;
}

std::optional<std::vector<std::uint8_t>> Qz719Descriptors::StringBytes(std::uint8_t index) const {
  if (index == 0)
    return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};  // English (US)
  const std::string* text = nullptr;
  if (index == iManufacturer)
    text = &manufacturer;
  if (index == iProduct)
    text = &product;
  if (index == iSerialNumber)
    text = &serial_number;
  if (text == nullptr)
    return std::nullopt;
  std::vector<std::uint8_t> out = {std::uint8_t(2 + 2 * text->size()), 3};
  for (char c : *text)
    Put16(&out, std::uint8_t(c));
  return out;
}

const EndpointFields* Qz719Descriptors::FindEndpoint(std::uint8_t address) const {
  for (const EndpointFields& e : endpoints) {
    if (e.bEndpointAddress == address)
      return &e;
  }
  return nullptr;
}

}  // namespace vax::hw::qz719
