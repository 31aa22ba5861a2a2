#include "host/image/image_driver.h"

#include <map>
#include <memory>
#include <string_view>

#include "host/image/image_exports.h"
#include "host/image/irql_trap.h"
#include "host/loader/load_error.h"
#include "host/sim/mapped_code.h"

namespace host::image {

namespace {

// The section of INIT code a kernel discards once the driver is initialised.
constexpr std::string_view kInitSection = "INIT";

}  // namespace

std::shared_ptr<const ImageFile> ImageFile::Read(const std::string& path, std::string& error) {
    auto file = std::make_shared<ImageFile>();
    file->path_ = path;
    auto bytes = loader::ReadWholeFile(path, error);
    if (!bytes) {
        error = path + ": cannot read the image: " + error;
        return nullptr;
    }
    file->bytes_ = std::move(*bytes);
    try {
        // Mapped once here so that every refusal (machine, subsystem, an import the world
        // lacks...) is said before any world is built; each world maps its own copy later.
        const loader::LoadedImage probe =
            loader::LoadedImage::Load(file->bytes_, WorldExports().AsResolver(), path);
        const std::string mapPath = loader::LinkMapPathFor(path);
        std::string mapError;
        const auto text = loader::ReadWholeFile(mapPath, mapError);
        if (!text) {
            file->symbolSource_ = "no link map: " + mapPath + ": " + mapError;
        } else {
            try {
                loader::LinkMap map = loader::LinkMap::Parse(
                    std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
                map.CheckDescribes(probe.Image().headers);
                file->symbols_ = std::move(map);
                file->symbolSource_ = mapPath;
            } catch (const loader::LoadError& e) {
                file->symbolSource_ = "link map " + mapPath + " not used: " + e.what();
            }
        }
    } catch (const loader::LoadError& e) {
        error = e.what();
        return nullptr;
    }
    return file;
}

ImageDriver::ImageDriver(std::shared_ptr<const ImageFile> file)
    : loaded_(loader::LoadedImage::Load(file->Bytes(), WorldExports().AsResolver(), file->Path())) {
    if (file->Symbols() != nullptr) loaded_.AttachSymbols(*file->Symbols(), file->SymbolSource());
    InstallIrqlTrap();
    // The namer keeps its own mapping of the file: sites are named after every world is gone.
    const uint16_t number = sim::MappedImageNumber(file.get(), [file](uint32_t rva) {
        static thread_local std::map<const ImageFile*, std::unique_ptr<loader::LoadedImage>> named;
        auto& image = named[file.get()];
        if (!image) {
            image = std::make_unique<loader::LoadedImage>(loader::LoadedImage::Load(
                file->Bytes(), WorldExports().AsResolver(), file->Path()));
            if (file->Symbols() != nullptr) image->AttachSymbols(*file->Symbols(), file->SymbolSource());
        }
        return image->Name() + " " + image->DescribeRva(rva);
    });
    sim::Mapped(loaded_.Base(), loaded_.Image().headers.sizeOfImage, number);
}

ImageDriver::~ImageDriver() { sim::Unmapped(loaded_.Base()); }

DriverEntryRoutine ImageDriver::Entry() const {
    return reinterpret_cast<DriverEntryRoutine>(loaded_.EntryPoint());
}

void ImageDriver::Initialised() {
    for (const auto& section : loaded_.Image().headers.sections)
        if (section.name == kInitSection && section.Discardable()) {
            loaded_.Discard(kInitSection);
            initDiscarded_ = true;
            return;
        }
}

bool ImageDriver::IsCode(const void* address) const {
    const loader::Section* section = loaded_.SectionOf(address);
    return section != nullptr && section->Executable();
}

std::string ImageDriver::Describe(const void* address, bool& discarded) const {
    discarded = false;
    if (!loaded_.RvaOf(address)) return {};
    const loader::Section* section = loaded_.SectionOf(address);
    discarded = initDiscarded_ && section != nullptr && section->name == kInitSection;
    return loaded_.DescribeAddress(address) + (discarded ? ", discarded after DriverEntry" : "");
}

}  // namespace host::image
