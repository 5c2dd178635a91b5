#include "config/device_check_variants.h"

namespace zovir {

namespace {

constexpr const char* kDefaultContact =
    "Please try plug in USB cable to upgrade again, if it fails please contact us.";
constexpr const char* kOperatorContact =
    "Please try plug in USB cable to upgrade again, if it fails please contact the Operator.";

// The product names here are this build's own; a variant build replaces the row.
constexpr VariantTexts kTexts[] = {
    // Default
    {"Quorvel_ZOVIR", "Utility is running,please exit the utility!", "", "", kDefaultContact, "", ""},
    // DataCard2
    {"Quorvel_ZOVIR Data Card Update", "Utility is running,please exit the utility!", "", "", kDefaultContact, "",
     "BTM0027"},
    // Phone6
    {"Quorvel_ZOVIR Mobile Update", "Utility is running,please exit the utility!", "", "", kDefaultContact, "",
     "BTM0029"},
    // Japan27
    {"Quorvel_ZOVIR アップデートツール", "ユーティリティが実行中です。", "", "", kOperatorContact, "Quorvel_ZOVIR_27", ""},
    // Japan28
    {"Quorvel_ZOVIR アップデートツール (1G)", "ユーティリティが実行中です。", "", "", kOperatorContact,
     "Quorvel_ZOVIR_28", ""},
    // Title1
    {"ZOVIR ルーター A アップデートツール",
     "接続ユーティリティが実行中です。ユーティリティを終了してから再度実行してください。",
     "ZOVIR ルーター A が見つかりません。接続してから実行してください。",
     "ZOVIR ルーター A が見つかりませんでした。接続してから再度実行してください。",
     "Please contact the ZOVIR customer centre if the problem continues.", "", "BTM0031"},
    // Title2
    {"ZOVIR ルーター B アップデートツール",
     "接続ユーティリティが実行中です。ユーティリティを終了してから再度実行してください。",
     "ZOVIR ルーター B が見つかりません。接続してから実行してください。",
     "ZOVIR ルーター B が見つかりませんでした。接続してから再度実行してください。",
     "Please contact the ZOVIR customer centre if the problem continues.", "", "BTMRK05"},
    // Title3
    {"ZOVIR ルーター C アップデートツール",
     "接続ユーティリティが実行中です。ユーティリティを終了してから再度実行してください。",
     "ZOVIR ルーター C が見つかりません。接続してから実行してください。",
     "ZOVIR ルーター C が見つかりませんでした。接続してから再度実行してください。",
     "Please contact the ZOVIR customer centre if the problem continues.", "", "BTMVV05"},
    // Title42
    {"ZOVIR モバイル アップデートツール",
     "接続ユーティリティが実行中です。ユーティリティを終了してから再度実行してください。",
     "ZOVIR モバイル が見つかりません。接続してから実行してください。",
     "ZOVIR モバイル が見つかりませんでした。接続してから再度実行してください。",
     "Please contact the ZOVIR customer centre if the problem continues.", "", "BTM0029"},
};

}  // namespace

ProductVariant VariantOf(const ProjectConfiguration& config) {
  if (config.ProjectType == 3) {
    if (config.VersionVariant[0]) return ProductVariant::Title1;
    if (config.VersionVariant[1]) return ProductVariant::Title2;
    if (config.VersionVariant[2]) return ProductVariant::Title3;
  }
  switch (config.ProjectType) {
    case 42: return ProductVariant::Title42;
    case 2: return ProductVariant::DataCard2;
    case 6: return ProductVariant::Phone6;
    case 27: return ProductVariant::Japan27;
    case 28: return ProductVariant::Japan28;
    default: return ProductVariant::Default;
  }
}

const VariantTexts& TextsOf(ProductVariant variant) { return kTexts[static_cast<int>(variant)]; }

bool IsTitleVariant(const ProjectConfiguration& config) {
  if (config.ProjectType == 42) return true;
  return config.ProjectType == 3 &&
         (config.VersionVariant[0] || config.VersionVariant[1] || config.VersionVariant[2]);
}

bool IsJapaneseType(const ProjectConfiguration& config) {
  return config.ProjectType == 27 || config.ProjectType == 28;
}

}  // namespace zovir
