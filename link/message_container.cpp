#include "link/message_container.h"

#include <algorithm>
#include <cstring>

#include "link/journal.h"
#include "platform/clock.h"

namespace {

// A free slot has its first 256 bytes zeroed: the length byte and 255 text bytes.
constexpr size_t kZeroedSlotBytes = 256;

}  // namespace

// The ring lives inside the object, so a capacity above kCapacity cannot be honoured; below two
// slots the queue could hold nothing at all.
CMessageContainer::CMessageContainer(vsk::Journal* owner, int16_t capacity)
    : m_owner(owner), m_capacity(std::clamp<int16_t>(capacity, 2, kCapacity)) {
    for (auto& slot : m_slots) {
        std::memset(slot, 0, kSlotSize);
    }
}

CMessageContainer::~CMessageContainer() = default;

bool CMessageContainer::Put(const vsk::PrinterMessage& record) {
    if (record.length == 0) {
        return false;
    }
    const int16_t tail = m_tail.load(std::memory_order_relaxed);
    const auto next = static_cast<int16_t>((tail + 1) % m_capacity);
    if (next == m_head.load(std::memory_order_acquire)) {
        return false;  // full: the newest message is the one lost
    }

    uint8_t* slot = m_slots[tail];
    slot[0] = record.length;
    std::memcpy(slot + 1, record.text, record.length);
    slot[1 + record.length] = 0;

    if (m_owner != nullptr && slot[1] != 0) {
        m_owner->LogFromPrinter(reinterpret_cast<const char*>(slot + 1));
    }

    m_tail.store(next, std::memory_order_release);
    m_event.Set();
    return true;
}

const uint8_t* CMessageContainer::Peek() const {
    if (IsEmpty()) {
        return nullptr;
    }
    return m_slots[m_head.load(std::memory_order_relaxed)];
}

bool CMessageContainer::Pop() {
    // Reset before looking: a Put that lands after the reset signals again, and one that landed
    // before it is seen by the emptiness test below, so no message is left without a signal.
    m_event.Reset();
    if (IsEmpty()) {
        return false;
    }
    const int16_t head = m_head.load(std::memory_order_relaxed);
    std::memset(m_slots[head], 0, kZeroedSlotBytes);
    m_head.store(static_cast<int16_t>((head + 1) % m_capacity), std::memory_order_release);
    if (!IsEmpty()) {
        m_event.Set();
    }
    return true;
}

bool CMessageContainer::SettleEvent() {
    // The same order as Pop: a Put after the reset signals again.
    m_event.Reset();
    if (IsEmpty()) {
        return false;
    }
    m_event.Set();
    return true;
}

bool CMessageContainer::IsEmpty() const {
    return m_head.load(std::memory_order_acquire) == m_tail.load(std::memory_order_acquire);
}

void CMessageContainer::Clear() {
    while (!IsEmpty()) {
        Pop();
    }
}

std::string CMessageContainer::PeekText() const {
    const uint8_t* slot = Peek();
    if (slot == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(slot + 1));
}

std::string CMessageContainer::GetNextMessage(uint32_t timeoutMs, vsk::IClock& clock) {
    if (IsEmpty()) {
        clock.Wait(m_event, timeoutMs);
    }
    if (IsEmpty()) {
        return {};
    }
    std::string text = PeekText();
    Pop();
    return text;
}
