# The DDK headers MinGW-w64 ships have three faults that stop a C++ NDIS miniport from compiling.
# They are mended in a copy under the build directory, which the image's include path uses
# instead of the originals; configuration stops, saying which, when a text to mend is not found
# (a newer MinGW-w64 may have mended it already, or moved it).
#   ndis.h   declares NDIS_REQUEST_TYPE a second time after ntddndis.h; the second goes.
#   ndis.h   lacks a comma between the parameters of NdisMWanIndicateReceiveComplete.
#   wdm.h    defines InterlockedBitTestAndSet/Reset as static inline routines, which C++ already
#            has from the compiler's intrinsics header; wdm.h's are kept for C only.

function(nicsim_patch_ddk source_dir target_dir)
  file(REMOVE_RECURSE ${target_dir})
  file(COPY ${source_dir}/ DESTINATION ${target_dir} FOLLOW_SYMLINK_CHAIN)

  function(nicsim_ddk_replace file what old new)
    file(READ ${target_dir}/${file} text)
    string(FIND "${text}" "${old}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR
        "windows/ddk.cmake: the text to mend in ${file} (${what}) was not found in "
        "${source_dir}/${file}; these DDK headers differ from the MinGW-w64 10.0 ones the "
        "Windows build was written against")
    endif()
    string(REPLACE "${old}" "${new}" text "${text}")
    file(WRITE ${target_dir}/${file} "${text}")
  endfunction()

  file(READ ${target_dir}/ndis.h ndis)
  string(FIND "${ndis}" "/* Request types used by NdisRequest */\ntypedef enum _NDIS_REQUEST_TYPE {" first)
  string(FIND "${ndis}" "} NDIS_REQUEST_TYPE, *PNDIS_REQUEST_TYPE;" last)
  if(first EQUAL -1 OR last EQUAL -1 OR last LESS first)
    message(FATAL_ERROR
      "windows/ddk.cmake: the second declaration of NDIS_REQUEST_TYPE was not found in "
      "${source_dir}/ndis.h; these DDK headers differ from the MinGW-w64 10.0 ones the "
      "Windows build was written against")
  endif()
  string(LENGTH "} NDIS_REQUEST_TYPE, *PNDIS_REQUEST_TYPE;" tail)
  math(EXPR end "${last} + ${tail}")
  string(SUBSTRING "${ndis}" 0 ${first} before)
  string(SUBSTRING "${ndis}" ${end} -1 after)
  file(WRITE ${target_dir}/ndis.h
       "${before}/* NDIS_REQUEST_TYPE: as ntddndis.h declares it (mended copy) */${after}")

  nicsim_ddk_replace(ndis.h "the parameters of NdisMWanIndicateReceiveComplete"
    "IN NDIS_HANDLE  MiniportAdapterHandle\n\tIN NDIS_HANDLE  NdisLinkContext);"
    "IN NDIS_HANDLE  MiniportAdapterHandle,\n\tIN NDIS_HANDLE  NdisLinkContext);")
  nicsim_ddk_replace(wdm.h "InterlockedBitTestAndSet"
    "static __inline__ BOOLEAN\nInterlockedBitTestAndSet("
    "#ifndef __cplusplus /* C++ has them from the compiler's intrinsics (mended copy) */\nstatic __inline__ BOOLEAN\nInterlockedBitTestAndSet(")
  nicsim_ddk_replace(wdm.h "the end of InterlockedBitTestAndReset"
    "  return (_InterlockedAnd(Base, ~(1 << Bit)) >> Bit) & 1;\n#endif\n}\n"
    "  return (_InterlockedAnd(Base, ~(1 << Bit)) >> Bit) & 1;\n#endif\n}\n#endif /* !__cplusplus */\n")
endfunction()

# A deliberately wrong image, for proving that running the image against the world can fail:
# `moved-field` puts one pointer-sized member into the DDK's IRP ahead of IoStatus, so the
# image reads and writes every IRP's status where the world keeps something else. Only the
# `usbnic` target of such a build is meaningful (its layout check fails, as it should).
function(nicsim_wrong_ddk target_dir fault)
  if(fault STREQUAL "moved-field")
    file(READ ${target_dir}/wdm.h text)
    set(old "  LIST_ENTRY ThreadListEntry;\n  IO_STATUS_BLOCK IoStatus;")
    string(FIND "${text}" "${old}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "windows/ddk.cmake: IRP's IoStatus not found in ${target_dir}/wdm.h")
    endif()
    string(REPLACE "${old}"
      "  LIST_ENTRY ThreadListEntry;\n  PVOID MovedForTest; /* wrong on purpose */\n  IO_STATUS_BLOCK IoStatus;"
      text "${text}")
    file(WRITE ${target_dir}/wdm.h "${text}")
  elseif(NOT fault STREQUAL "")
    message(FATAL_ERROR "NICSIM_IMAGE_TEST_FAULT: unknown fault '${fault}' (moved-field)")
  endif()
endfunction()
