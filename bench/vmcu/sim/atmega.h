// The simulated atmega328p: simavr's core at the board's clock, starting in optiboot, with what
// its surroundings hold (driven pins, analog inputs) applied again after each reset.
#pragma once

#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_irq.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <utility>

#include "basics.h"
#include "hexfile.h"

namespace vmcu::sim {

// simavr ignores the fuses: with BOOTRST and a 512-byte boot section the chip starts here.
constexpr avr_flashaddr_t kBootStart = 0x7E00;
constexpr std::uint16_t kMcusr = 0x54;  // data-space addresses
constexpr std::uint16_t kUcsr0a = 0xC0;
constexpr std::uint16_t kUcsr0b = 0xC1;
constexpr std::uint16_t kUbrr0l = 0xC4;
constexpr std::uint16_t kUbrr0h = 0xC5;
constexpr std::uint8_t kPorf = 1 << 0;
constexpr std::uint8_t kExtrf = 1 << 1;
constexpr std::uint8_t kU2x0 = 1 << 1;
constexpr std::uint8_t kRxTxEnable = (1 << 4) | (1 << 3);

// simavr's own remarks go to standard error: standard output names the port.
inline void simavrLogger(avr_t*, const int level, const char* format, va_list ap) {
  if (level > LOG_ERROR) return;
  std::fputs("vmcu: simavr: ", stderr);
  std::vfprintf(stderr, format, ap);
}

// The simulated chip. Only the thread that runs it may call these.
class Chip {
 public:
  Chip(const fs::path& bootloader, const fs::path& sketch) {
    avr_global_logger_set(simavrLogger);
    avr_ = avr_make_mcu_by_name("atmega328p");
    if (avr_ == nullptr) die("simavr has no atmega328p");
    avr_init(avr_);
    avr_->frequency = kHz;
    avr_->vcc = avr_->avcc = avr_->aref = kMillivolts;
    avr_->log = LOG_ERROR;
    // Paced from outside: simavr's own sleeps would only slow it below real time.
    avr_->sleep = [](avr_t*, avr_cycle_count_t) {};
    std::span<std::uint8_t> flash(avr_->flash, avr_->flashend + 1);
    std::fill(flash.begin(), flash.end(), 0xFF);
    for (const auto& image : {bootloader, sketch}) {
      if (image.empty()) continue;
      if (auto error = vmcu::loadHex(image, flash)) die(*error);
    }
    avr_->reset_pc = kBootStart;
    // Resets come from outside and from the chip's own watchdog (optiboot ends that way);
    // after each, what the chip's surroundings hold is applied again.
    coreReset_ = avr_->reset;
    avr_->custom.data = this;  // unused by simavr while custom.init and deinit are unset
    avr_->reset = [](avr_t* avr) {
      auto* chip = static_cast<Chip*>(avr->custom.data);
      if (chip->coreReset_ != nullptr) chip->coreReset_(avr);
      chip->wasReset_ = true;
    };

    avr_irq_t* uart = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), 0);
    uartInput_ = uart + UART_IRQ_INPUT;
    avr_irq_register_notify(uart + UART_IRQ_OUTPUT, &Chip::uartOutput, this);
    avr_irq_register_notify(uart + UART_IRQ_OUT_XON, &Chip::uartXon, this);
    avr_irq_register_notify(uart + UART_IRQ_OUT_XOFF, &Chip::uartXoff, this);
  }
  ~Chip() { avr_terminate(avr_); }
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  void setOutput(std::function<void(std::uint8_t)> f) { output_ = std::move(f); }

  void powerOn() { restart(kPorf); }
  void externalReset() { restart(kExtrf); }

  // Runs `cycles` more; false when the chip has stopped (until a reset).
  bool run(avr_cycle_count_t cycles) {
    const avr_cycle_count_t end = avr_->cycle + cycles;
    while (avr_->cycle < end) {
      const int state = avr_run(avr_);
      if (wasReset_) surroundings();
      if (state == cpu_Done || state == cpu_Crashed) return false;
    }
    return true;
  }
  bool stopped() const { return avr_->state == cpu_Done || avr_->state == cpu_Crashed; }
  avr_cycle_count_t cycles() const { return avr_->cycle; }

  // The UART's rate as its registers set it; 0 while it neither sends nor receives.
  double baud() const {
    if ((avr_->data[kUcsr0b] & kRxTxEnable) == 0) return 0;
    const unsigned ubrr = (avr_->data[kUbrr0h] & 0x0F) << 8 | avr_->data[kUbrr0l];
    const unsigned divisor = (avr_->data[kUcsr0a] & kU2x0) ? 8 : 16;
    return static_cast<double>(kHz) / (divisor * (ubrr + 1));
  }

  bool canTake() const { return xon_; }
  void input(std::uint8_t byte) { avr_raise_irq(uartInput_, byte); }

  // Levels driven from outside stay driven: a reset clears the PIN registers, so they
  // are applied again after each one.
  void drivePin(char port, int bit, int level) {
    driven_[{port, bit}] = level;
    avr_raise_irq(pinIrq(port, bit), level);
  }
  void setAdc(int channel, std::uint32_t millivolts) {
    analog_[channel] = millivolts;
    avr_raise_irq(avr_io_getirq(avr_, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel), millivolts);
  }

 private:
  avr_irq_t* pinIrq(char port, int bit) { return avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(port), bit); }

  void restart(std::uint8_t cause) {
    avr_reset(avr_);  // also clears MCUSR, which optiboot reads to tell an external reset
    avr_->data[kMcusr] |= cause;
    surroundings();
  }

  // What the chip's surroundings hold, applied again after a reset.
  void surroundings() {
    wasReset_ = false;
    // The UART's poll sleep makes the bootloader crawl under real-time pacing.
    std::uint32_t flags = 0;
    avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
    avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    xon_ = true;
    // The reset zeroed the PIN registers but not the IRQs' values, which an IRQ raised
    // to the same value would keep; hence the change back and forth.
    for (const auto& [pin, level] : driven_) {
      avr_raise_irq(pinIrq(pin.first, pin.second), !level);
      avr_raise_irq(pinIrq(pin.first, pin.second), level);
    }
    for (const auto& [channel, mv] : analog_)
      avr_raise_irq(avr_io_getirq(avr_, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel), mv);
  }

  static void uartOutput(avr_irq_t*, std::uint32_t value, void* self) {
    auto* chip = static_cast<Chip*>(self);
    if (chip->output_) chip->output_(static_cast<std::uint8_t>(value));
  }
  static void uartXon(avr_irq_t*, std::uint32_t, void* self) { static_cast<Chip*>(self)->xon_ = true; }
  static void uartXoff(avr_irq_t*, std::uint32_t, void* self) { static_cast<Chip*>(self)->xon_ = false; }

  avr_t* avr_ = nullptr;
  void (*coreReset_)(avr_t*) = nullptr;
  bool wasReset_ = false;
  avr_irq_t* uartInput_ = nullptr;
  bool xon_ = true;
  std::function<void(std::uint8_t)> output_;
  std::map<std::pair<char, int>, int> driven_;
  std::map<int, std::uint32_t> analog_;
};

}  // namespace vmcu::sim
