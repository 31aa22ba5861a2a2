// CountedList: head, tail and a 32-bit count over members whose first word is their next link and
// whose second is their previous link. The caller holds whatever lock guards the list.
#pragma once

#include "platform/nt.h"

template <typename T>
struct CountedList {
    T* Head;
    T* Tail;
    ULONG Count;
};

template <typename T>
inline VOID ListAppendTail(CountedList<T>* list, T* member) {
    member->Next = nullptr;
    member->Prev = list->Tail;
    if (list->Tail != nullptr) list->Tail->Next = member;
    else list->Head = member;
    list->Tail = member;
    list->Count++;
}

template <typename T>
inline VOID ListInsertHead(CountedList<T>* list, T* member) {
    member->Prev = nullptr;
    member->Next = list->Head;
    if (list->Head != nullptr) list->Head->Prev = member;
    else list->Tail = member;
    list->Head = member;
    list->Count++;
}

// Returns the old head, or null when the list is empty.
template <typename T>
inline T* ListRemoveHead(CountedList<T>* list) {
    T* member = list->Head;
    if (member == nullptr) return nullptr;
    list->Head = member->Next;
    if (list->Head != nullptr) list->Head->Prev = nullptr;
    else list->Tail = nullptr;
    list->Count--;
    member->Next = nullptr;
    member->Prev = nullptr;
    return member;
}
