#pragma once
#include <string>

#include "config/project_configuration.h"

namespace zovir {

// The product variants whose texts name a product, model or carrier. The title variant
// (VersionVariant 1, 2, 3 with project type 3, or project type 42) counts as four.
enum class ProductVariant { Default, DataCard2, Phone6, Japan27, Japan28, Title1, Title2, Title3, Title42 };

// Every text a variant supplies, in one row per variant.
struct VariantTexts {
  const char* title;              // application title, caption of the variant's messages
  const char* utilityRunning;     // a companion utility runs and must be ended first
  const char* deviceNotConnected; // the modem was not found; connect it first
  const char* deviceNotFoundEnd;  // nothing became ready in time; connect and run again
  const char* contactLine;        // the contact line of the failure trailer in the run log
  const char* logFolder;          // folder of its own for the run logs (empty: the log folder)
  const char* versionPrefix;      // the modem version must contain it (title variants)
};

// The variant a configuration selects: the first set VersionVariant flag wins (project type 3
// only), then project type 42, then the types that carry texts of their own.
ProductVariant VariantOf(const ProjectConfiguration& config);
const VariantTexts& TextsOf(ProductVariant variant);
bool IsTitleVariant(const ProjectConfiguration& config);
// Project types 27 and 28: Japanese labels in their own font.
bool IsJapaneseType(const ProjectConfiguration& config);

}  // namespace zovir
