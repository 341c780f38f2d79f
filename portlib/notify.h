// Device-change notification, the library's internal side: what the DLL entry
// routine calls when a thread ends or the library is unloaded.
#ifndef QZ719PT_NOTIFY_H
#define QZ719PT_NOTIFY_H

// A thread is ending: if it owns the notification window, notification ends
// now, while the thread can still destroy its window.
void EndNotificationForThread();

// The library is being unloaded (FreeLibrary, not process exit): no message
// may reach its code afterwards.
void EndNotificationForUnload();

#endif  // QZ719PT_NOTIFY_H
