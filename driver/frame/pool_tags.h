// Pool tags, the four characters memory diagnostics show for each allocation, in memory order.
// Short-lived request blocks (URBs, queue entries) carry "Wdm ", the adapter record "0ytR"; the
// ledger's counting tags start as "00ZT".
#pragma once

#include "platform/nt.h"

constexpr ULONG PoolTag(char a, char b, char c, char d) {
    return static_cast<ULONG>(static_cast<UCHAR>(a)) |
           static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

constexpr ULONG kRequestBlockTag = PoolTag('W', 'd', 'm', ' ');
constexpr ULONG kRecordTag = PoolTag('0', 'y', 't', 'R');
constexpr ULONG kFirstCountingTag = PoolTag('0', '0', 'Z', 'T');
