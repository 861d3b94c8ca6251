// CMessageContainer: the pending messages of one port. A fixed ring of 64 slots of 300 bytes
// (63 usable), no lock. Threading rule: exactly one producer (the port's reader thread, Put) and
// one consumer (the engine on the main thread: Peek, Pop, IsEmpty, GetNextMessage, the event).
// Each side writes only its own index, published with release and read with acquire order.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/frame.h"
#include "platform/event.h"

namespace vsk {
class Journal;
class IClock;
}  // namespace vsk

class CMessageContainer {
public:
    static constexpr int16_t kCapacity = 64;
    static constexpr size_t kSlotSize = 300;

    // `owner` receives the "<< From Printer <<" lines; may be null.
    explicit CMessageContainer(vsk::Journal* owner, int16_t capacity = kCapacity);
    virtual ~CMessageContainer();

    bool Put(const vsk::PrinterMessage& record);  // producer
    const uint8_t* Peek() const;                  // consumer: head slot or nullptr
    bool Pop();                                   // consumer
    bool IsEmpty() const;
    void Clear();  // consumer: Pop until IsEmpty
    // Consumer: takes back a signal that outlived its message (the producer's Set may land
    // after the consumer already took what it announced), so that a wait on the event sleeps
    // again instead of returning at once for ever. True when a message is waiting.
    bool SettleEvent();
    // Producer: signals the event without a message, so that a consumer's wait ends to look
    // at something else (the device went away).
    void Wake() { m_event.Set(); }
    const vsk::ManualResetEvent& Event() const { return m_event; }
    // Text of the head message (empty when none).
    std::string PeekText() const;
    std::string GetNextMessage(uint32_t timeoutMs, vsk::IClock& clock);

private:
    vsk::ManualResetEvent m_event;
    vsk::Journal* m_owner;
    std::atomic<int16_t> m_head{0};
    std::atomic<int16_t> m_tail{0};
    int16_t m_capacity;
    uint8_t m_slots[kCapacity][kSlotSize];
};
