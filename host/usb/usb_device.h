// What the emulated bus needs of a USB device: its configuration descriptor set, the default
// control pipe, and bulk endpoints. The adapter model implements it; tests may script one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace host::usb {

enum class Result : uint8_t { Ok, Stall, Error, Timeout, Cancelled, Gone };
std::string_view ResultName(Result r);

struct Setup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    bool In() const { return (bmRequestType & 0x80) != 0; }
};

struct ControlOutcome {
    Result result;
    size_t actual;  // bytes of the data stage moved
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // The whole configuration descriptor set, as the device would return it.
    virtual std::vector<uint8_t> ConfigurationSet() const = 0;
    // A control transfer on the default pipe. For an IN request `data` has room for wLength
    // bytes and receives the data stage; for an OUT request it holds wLength bytes.
    virtual ControlOutcome Control(const Setup& setup, uint8_t* data) = 0;
    // One bulk-out transfer on `endpoint`.
    virtual Result BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) = 0;
    // Whether a bulk-in transfer is waiting on `endpoint`, and taking it (at most `capacity`
    // bytes; the rest of a longer transfer is the device's to drop).
    virtual bool BulkInReady(uint8_t endpoint) const = 0;
    virtual size_t BulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity) = 0;
    // The length of the bulk-in transfer waiting on `endpoint`, for a bus that times transfers by
    // their size; 0 when the device cannot tell (the bus then assumes a full read).
    virtual size_t BulkInLength(uint8_t endpoint) const {
        (void)endpoint;
        return 0;
    }

    // The bus is told when bulk-in data starts waiting.
    void SetDataReadyHandler(std::function<void()> handler) { dataReady_ = std::move(handler); }

protected:
    void NotifyDataReady() {
        if (dataReady_) dataReady_();
    }

private:
    std::function<void()> dataReady_;
};

}  // namespace host::usb
