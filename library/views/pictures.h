// Pictures the viewer writes (heatmaps, plots): their format, the files they may not replace,
// and where their bytes go.
#ifndef TORNAVEL_VIEWS_PICTURES_H_
#define TORNAVEL_VIEWS_PICTURES_H_

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "files/publication.h"
#include "views/heatmap.h"

namespace tornavel {

// The format a picture's name asks for (as heatmap_format says); a device or FIFO without a
// telling name gets PGM; nothing for any other name.
std::optional<image_format> image_format_for(const std::string& name);

// Refuses (file_error) a picture's name (what: "heatmap", "plot") that is one of the files
// being shown (nullopt for an option not given): writing it would replace them.
void refuse_shown_file(const std::string& picture, const char* what,
                       const std::vector<std::optional<std::string>>& shown);

// Whether a picture of that name goes to out: "-", or another name for the same file
// (/dev/stdout).
bool picture_goes_to(const std::string& name, std::FILE* out);

// Writes a picture's bytes to out for "-", into a device or FIFO as it stands, and otherwise as
// a staged file published as publishing says, so that a failure leaves no half-written picture.
void write_picture(const std::vector<unsigned char>& bytes, const std::string& name, std::FILE* out,
                   const publish_options& publishing);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_PICTURES_H_
