#include "perfmonitor/hx_event.h"

#include <new>

HxEvent::HxEvent(bool manualReset) : m_event(new (std::nothrow) HxEventH(manualReset)) {
  if (m_event == nullptr) throw "Not enough memory to initialize HxEvent";
}

HxEvent::~HxEvent() { delete m_event; }

int HxEvent::wait(unsigned long milliseconds) { return m_event->wait(milliseconds); }

void HxEvent::set() { m_event->set(); }

HxCriticalSection::HxCriticalSection() : m_cs(new (std::nothrow) HxCriticalSectionH()) {
  if (m_cs == nullptr) throw "Not enough memory to initialize HxCriticalSection";
}

HxCriticalSection::~HxCriticalSection() {
  delete m_cs;
  m_cs = nullptr;
}

void HxCriticalSection::enter(bool wait) { m_cs->enter(wait); }

void HxCriticalSection::leave() { m_cs->leave(); }
