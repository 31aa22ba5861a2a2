#include "host/loader/pe_image.h"

#include <cstring>

#include "host/loader/load_error.h"
#include "host/loader/pe_format.h"

namespace host::loader {

PeImage ParseImage(std::span<const uint8_t> file) {
    PeImage image;
    image.headers = ParseHeaders(file);
    image.relocations = ParseRelocations(image.headers, file);
    image.imports = ParseImports(image.headers, file);
    return image;
}

uint16_t WorldMachine() {
#if defined(__x86_64__)
    return pe::kMachineAmd64;
#elif defined(__i386__)
    return pe::kMachineI386;
#else
#error "the world runs x86 or x64 driver images, on an x86 or x64 host"
#endif
}

void CheckLoadable(const PeImage& image, uint16_t machine, uint32_t pageSize) {
    const Headers& h = image.headers;
    if (h.machine != machine)
        throw LoadError("the image is for " + pe::MachineName(h.machine) +
                        ", but this world runs " + pe::MachineName(machine) +
                        " images (x64 in a 64-bit build of the world, x86 in a -m32 build)");
    if (!(h.fileCharacteristics & pe::kFileExecutableImage))
        throw LoadError("not an executable image: IMAGE_FILE_EXECUTABLE_IMAGE is clear in the COFF "
                        "header's Characteristics");
    if (h.subsystem != pe::kSubsystemNative)
        throw LoadError("not a native-subsystem driver: the image's subsystem is " +
                        pe::SubsystemName(h.subsystem) + ", a driver's is 1 (native)");
    if (h.fileCharacteristics & pe::kFileRelocsStripped)
        throw LoadError("the image's relocations were stripped (IMAGE_FILE_RELOCS_STRIPPED), and "
                        "this world never maps an image at its preferred base");
    if (h.directories[pe::kDirTls].size != 0)
        throw LoadError("the image has a TLS directory: thread-local storage is not supported");
    if (h.directories[pe::kDirDelayImport].size != 0)
        throw LoadError("the image has delay-load imports, which the world does not bind");

    const Section* entry = h.SectionAt(h.entryRva);
    if (entry == nullptr || !entry->Executable())
        throw LoadError("the entry point, RVA " + Hex(h.entryRva) + ", is not inside an " +
                        "executable section" + (entry ? " (it is in " + entry->name + ")" : ""));

    for (const Section& s : h.sections) {
        if (s.Writable() && s.Executable())
            throw LoadError("section " + s.name +
                            " is both writable and executable: the world never maps memory W+X");
        if (s.rva % pageSize != 0)
            throw LoadError("section " + s.name + " at RVA " + Hex(s.rva) +
                            " does not start on a page boundary (pages are " + Hex(pageSize) +
                            " bytes), so it cannot have protections of its own");
    }
    for (const Import& imp : image.imports)
        if (imp.ordinal)
            throw LoadError("import " + imp.Qualified() +
                            " is by ordinal: the world binds imports by name only");

    const uint8_t supported = h.pe32Plus ? pe::kRelBasedDir64 : pe::kRelBasedHighLow;
    for (const Relocation& rel : image.relocations)
        if (rel.type != supported)
            throw LoadError("relocation type " + pe::RelocationTypeName(rel.type) + " at RVA " +
                            Hex(rel.rva) + " is not supported in a " +
                            (h.pe32Plus ? "PE32+" : "PE32") + " image (only " +
                            pe::RelocationTypeName(supported) + " is)");
}

void LayOut(const Headers& headers, std::span<const uint8_t> file, std::span<uint8_t> image) {
    if (image.size() < headers.sizeOfImage || file.size() < headers.sizeOfHeaders)
        throw LoadError("LayOut: the image buffer or the file is smaller than the headers say");
    std::memcpy(image.data(), file.data(), headers.sizeOfHeaders);
    for (const Section& s : headers.sections) {
        const uint32_t copied = s.CopiedSize();
        if (copied != 0) std::memcpy(image.data() + s.rva, file.data() + s.fileOffset, copied);
        std::memset(image.data() + s.rva + copied, 0, s.extent - copied);
    }
}

}  // namespace host::loader
