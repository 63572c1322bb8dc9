// The model table: every camera the library knows, in lookup order.
#include "device/vo_cameras.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "device/wire.h"

using namespace vocam;

namespace {

struct MatrixRecord {
    std::int16_t id;
    std::int16_t coefficients[9];
};

// Lays out a model's data blob: one matrix record (tag 1) and the terminator,
// or a bare terminator when the model has no matrices.
template <std::size_t N>
constexpr auto model_blob(const std::array<MatrixRecord, N> &matrices) {
    constexpr std::size_t size = N == 0 ? 4 : 8 + 20 * N + 4;
    std::array<std::uint8_t, size> out{};
    std::size_t at = 0;
    auto put16 = [&](std::int32_t v) {
        out[at++] = static_cast<std::uint8_t>(v & 0xFF);
        out[at++] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    };
    auto put32 = [&](std::uint32_t v) {
        put16(static_cast<std::int32_t>(v & 0xFFFF));
        put16(static_cast<std::int32_t>(v >> 16));
    };
    if constexpr (N > 0) {
        put32(kModelDataMatrices);
        put32(static_cast<std::uint32_t>(20 * N));
        for (const auto &m : matrices) {
            put16(m.id);
            for (auto c : m.coefficients) put16(c);
        }
    }
    put32(0);
    return out;
}

// Generated table data: every model the library knows, and the colour-correction
// matrices each model ships with (4096 = 1.0, rows summing to 4096).

constexpr auto data_01 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5835, -1490, -249, -1404, 5917, -417, -1256, -99, 5451}},
    {2, {4769, -302, -371, -781, 5085, -208, -324, -309, 4729}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5550, -1511, 57, -1489, 5774, -189, -304, 19, 4381}},
}});
constexpr auto data_02 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5314, -437, -781, -966, 5542, -480, -307, -848, 5251}},
    {2, {4996, -545, -355, -630, 4961, -235, -353, -125, 4574}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5092, -1189, 193, -1783, 6079, -200, -1398, 208, 5286}},
}});
constexpr auto data_03 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5903, -1116, -691, -1310, 6010, -604, -1240, -717, 6053}},
    {2, {5118, -721, -301, -717, 5046, -233, -636, -122, 4854}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {4481, -673, 288, -1460, 5456, 100, -1592, -10, 5698}},
}});
constexpr auto data_04 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5568, -1319, -153, -1175, 6163, -892, -873, -863, 5832}},
    {2, {4822, -651, -75, -860, 5310, -354, -578, -233, 4907}},
    {5, {4596, -389, -111, -1757, 5683, 170, -505, 284, 4317}},
}});
constexpr auto data_05 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {6044, -1609, -339, -1587, 6095, -412, -793, -704, 5593}},
    {2, {4975, -668, -211, -323, 4767, -348, -510, -399, 5005}},
    {5, {4739, -606, -37, -913, 5022, -13, -992, 181, 4907}},
}});
constexpr auto data_06 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5541, -694, -751, -1461, 6166, -609, -374, -161, 4631}},
    {2, {4777, -561, -120, -493, 4885, -296, -458, -262, 4816}},
    {5, {4460, -652, 288, -1190, 5027, 259, -1313, -198, 5607}},
}});
constexpr auto data_07 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5529, -872, -561, -511, 4770, -163, -1425, -648, 6169}},
    {2, {4452, -261, -95, -180, 4696, -420, -429, -449, 4974}},
    {5, {5219, -831, -292, -904, 4985, 15, -1660, 142, 5614}},
}});
constexpr auto data_08 = model_blob<4>(std::array<MatrixRecord, 4>{{
    {1, {4871, -515, -260, -1027, 5289, -166, -1311, -146, 5553}},
    {2, {4913, -712, -105, -714, 5012, -202, -476, -450, 5022}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5483, -1311, -76, -449, 4558, -13, -413, 177, 4332}},
}});
constexpr auto data_09 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {6004, -1183, -725, -903, 5166, -167, -1494, -209, 5799}},
    {2, {4882, -430, -356, -800, 5126, -230, -642, -59, 4797}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5742, -1700, 54, -1010, 4855, 251, -1286, -277, 5659}},
}});
constexpr auto data_10 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5344, -420, -828, -705, 4944, -143, -1437, -436, 5969}},
    {2, {5109, -683, -330, -581, 4815, -138, -297, -92, 4485}},
    {5, {5277, -1289, 108, -1400, 5376, 120, -1473, 7, 5562}},
}});
constexpr auto data_11 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {6015, -1033, -886, -1132, 5649, -421, -742, -229, 5067}},
    {2, {5207, -898, -213, -285, 4741, -360, -856, -333, 5285}},
    {5, {4652, -345, -211, -864, 4719, 241, -546, -295, 4937}},
}});
constexpr auto data_12 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5030, -696, -238, -1052, 5334, -186, -1095, -509, 5700}},
    {2, {4830, -468, -266, -576, 5043, -371, -373, -57, 4526}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5615, -1636, 117, -1733, 5718, 111, -1785, 169, 5712}},
}});
constexpr auto data_13 = model_blob<0>(std::array<MatrixRecord, 0>{});
constexpr auto data_14 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {6396, -1798, -502, -389, 5271, -786, -627, -559, 5282}},
    {2, {5236, -783, -357, -173, 4553, -284, -193, -206, 4495}},
    {5, {5316, -1165, -55, -1383, 5538, -59, -590, -95, 4781}},
}});
constexpr auto data_15 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5982, -1608, -278, -1171, 5485, -218, -412, -679, 5187}},
    {2, {4709, -323, -290, -759, 5125, -270, -421, -245, 4762}},
    {5, {4861, -545, -220, -1484, 5370, 210, -386, 71, 4411}},
}});
constexpr auto data_16 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5754, -1105, -553, -1763, 6757, -898, -919, -794, 5809}},
    {2, {4704, -425, -183, -639, 5095, -360, -395, -50, 4541}},
    {5, {4888, -576, -216, -1139, 5303, -68, -542, -73, 4711}},
}});
constexpr auto data_17 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5838, -1307, -435, -1253, 5887, -538, -1513, -158, 5767}},
    {2, {4800, -580, -124, -440, 4650, -114, -282, -56, 4434}},
    {5, {5840, -1540, -204, -405, 4293, 208, -1364, -217, 5677}},
}});
constexpr auto data_18 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5336, -521, -719, -875, 5044, -73, -891, -456, 5443}},
    {2, {5230, -832, -302, -820, 5286, -370, -876, -218, 5190}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {4786, -976, 286, -771, 4573, 294, -1239, 168, 5167}},
}});
constexpr auto data_19 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {6246, -1374, -776, -508, 4984, -380, -1609, -729, 6434}},
    {2, {4331, -180, -55, -656, 5039, -287, -643, -132, 4871}},
    {5, {4908, -514, -298, -311, 4490, -83, -386, 163, 4319}},
}});
constexpr auto data_20 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5669, -1501, -72, -1042, 6010, -872, -407, -138, 4641}},
    {2, {5016, -895, -25, -662, 4949, -191, -806, -314, 5216}},
    {5, {5605, -1222, -287, -456, 4354, 198, -728, 175, 4649}},
}});
constexpr auto data_21 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {6640, -1777, -767, -1039, 5924, -789, -655, -102, 4853}},
    {2, {4939, -458, -385, -663, 4836, -77, -629, -182, 4907}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {4560, -599, 135, -1731, 6066, -239, -1185, 155, 5126}},
}});
constexpr auto data_22 = model_blob<4>(std::array<MatrixRecord, 4>{{
    {1, {5210, -634, -480, -1715, 6006, -195, -682, -868, 5646}},
    {2, {4689, -167, -426, -233, 4621, -292, -301, -91, 4488}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {5, {5732, -1459, -177, -1325, 5394, 27, -570, 171, 4495}},
}});
constexpr auto data_23 = model_blob<4>(std::array<MatrixRecord, 4>{{
    {1, {5287, -916, -275, -1215, 5572, -261, -709, -799, 5604}},
    {2, {4712, -223, -393, -207, 4493, -190, -443, -368, 4907}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {5, {4677, -676, 95, -1612, 5723, -15, -1209, -252, 5557}},
}});
constexpr auto data_24 = model_blob<5>(std::array<MatrixRecord, 5>{{
    {1, {5309, -403, -810, -716, 5082, -270, -1152, -797, 6045}},
    {2, {5004, -845, -63, -431, 4806, -279, -496, -182, 4774}},
    {3, {7056, -3212, 251, -135, 4372, -139, 164, -3349, 7281}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {4704, -800, 192, -1218, 5160, 154, -761, 233, 4624}},
}});
constexpr auto data_25 = model_blob<3>(std::array<MatrixRecord, 3>{{
    {1, {5132, -665, -371, -544, 5335, -695, -346, -763, 5205}},
    {2, {4764, -297, -371, -787, 4954, -71, -855, -157, 5108}},
    {5, {4814, -917, 199, -1547, 5421, 222, -368, 217, 4247}},
}});
constexpr auto data_26 = model_blob<4>(std::array<MatrixRecord, 4>{{
    {1, {5863, -1716, -51, -1060, 5852, -696, -1563, -492, 6151}},
    {2, {4739, -238, -405, -454, 4798, -248, -658, -68, 4822}},
    {4, {6193, -2617, 519, 230, 4043, -178, 132, -217, 4181}},
    {5, {5763, -1374, -293, -1024, 4969, 151, -330, -218, 4644}},
}});

}  // namespace

extern "C" {

const model_table_entry camera_ids[] = {
    {0x0613, kFx2ControllerVendor, 0xFFFF, 0, "vocam01/firm0.HEX", "vocam01/fpga%X.rbf",
     data_01.data(), 112},  // model_01
    {0x00A1, kCameraVendorA, 0xFFFF, 1, "vocam02/firm%X.HEX", "vocam02/fpga%X.rbf", data_02.data(),
     112},  // model_02
    {0x04A2, kCameraVendorB, 0xFFFF, 1, "vocam03/firm%X.HEX", "vocam03/fpga%X.rbf", data_01.data(),
     112},  // model_03
    {0x04F7, kCameraVendorB, 0xFFFF, 0, "vocam01/firm%X.HEX", "vocam01/fpga10.rbf", data_01.data(),
     112},  // model_04
    {0x00A3, kCameraVendorA, 0xFFFF, 1, "vocam04/firm%X.HEX", "vocam04/fpga%X.rbf", data_03.data(),
     112},  // model_05
    {0x01AC, kCameraVendorB, 0xFFFF, 1, "vocam05/firm%X.HEX", "vocam05/fpga%X.rbf", data_04.data(),
     72},  // model_06
    {0x01A2, kCameraVendorB, 0xFFFF, 0, "vocam06/firm%X.HEX", "vocam06/fpga%X.rbf", data_05.data(),
     72},  // model_07
    {0x01A7, kCameraVendorB, 0xFFFF, 0, "vocam07/firm%X.HEX", "vocam07/fpga%X.rbf", data_05.data(),
     72},  // model_08
    {0x01A4, kCameraVendorB, 0xFFFF, 0, "vocam08/firm%X.HEX", "vocam08/fpga%X.rbf", data_05.data(),
     92},  // model_09
    {0x04AE, kCameraVendorB, 0xFFFF, 0, "vocam09/firm%X.HEX", "vocam09/fpga%X.rbf", data_05.data(),
     92},  // model_10
    {0x01A5, kCameraVendorB, 0, 0, "vocam10/firm0.HEX", "vocam10/fpga0.rbf", data_06.data(),
     72},  // model_11
    {0x01A5, kCameraVendorB, 1, 0, "vocam10/firm0.HEX", "vocam10/fpga0.rbf", data_06.data(),
     72},  // model_12
    {0x01A5, kCameraVendorB, 2, 0, "vocam10/firm1.HEX", "vocam10/fpga0.rbf", data_06.data(),
     72},  // model_13
    {0x01AF, kCameraVendorB, 0xFFFF, 0, "vocam11/firm%X.HEX", "vocam11/fpga%X.rbf", data_07.data(),
     72},  // model_14
    {0x01A8, kCameraVendorB, 0xFFFF, 1, "vocam12/firm%X.HEX", "vocam12/fpga%X.rbf", data_08.data(),
     92},  // model_15
    {0x03AD, kCameraVendorB, 0xFFFF, 0, "vocam13/firm%X.HEX", nullptr, data_09.data(),
     112},  // model_16
    {0x008C, kCameraVendorA, 0xFFFF, 0, "vocam14/firm%X.HEX", "vocam14/fpga%X.rbf", data_10.data(),
     72},  // model_17
    {0x018C, kCameraVendorB, 0xFFFF, 0, "vocam15/firm%X.HEX", "vocam15/fpga%X.rbf", data_11.data(),
     72},  // model_18
    {0x0085, kCameraVendorA, 0xFFFF, 0, "vocam16/firm%X.HEX", "vocam16/fpga%X.rbf", data_12.data(),
     112},  // model_19
    {0x0092, kCameraVendorA, 0xFFFF, 0, "vocam17/firm%X.HEX", "vocam17/fpga%X.rbf", data_13.data(),
     4},  // model_20
    {0x0096, kCameraVendorA, 0xFFFF, 0, "vocam18/firm%X.HEX", "vocam18/fpga%X.rbf", data_14.data(),
     72},  // model_21
    {0x009A, kCameraVendorA, 0xFFFF, 0, "vocam19/firm%X.HEX", "vocam19/fpga%X.rbf", data_15.data(),
     72},  // model_22
    {0x019A, kCameraVendorB, 0xFFFF, 0, "vocam20/firm%X.HEX", "vocam20/fpga%X.rbf", data_16.data(),
     72},  // model_23
    {0x018A, kCameraVendorB, 0xFFFF, 0, "vocam21/firm%X.HEX", "vocam21/fpga%X.rbf", data_17.data(),
     72},  // model_24
    {0x009E, kCameraVendorA, 0xFFFF, 0, "vocam22/firm%X.HEX", "vocam22/fpga%X.rbf", data_18.data(),
     112},  // model_25
    {0x0097, kCameraVendorA, 0xFFFF, 0, "vocam23/firm%X.HEX", "vocam23/fpga%X.rbf", data_19.data(),
     72},  // model_26
    {0x0180, kCameraVendorB, 0xFFFF, 0, "vocam24/firm%X.HEX", "vocam24/fpga%X.rbf", data_20.data(),
     72},  // model_27
    {0x008D, kCameraVendorA, 0xFFFF, 0, "vocam25/firm%X.HEX", "vocam25/fpga%X.rbf", data_21.data(),
     112},  // model_28
    {0x01CD, kCameraVendorB, 0xFFFF, 0, "vocam26/firm%X.HEX", "vocam26/fpga%X.rbf", data_22.data(),
     92},  // model_29
    {0x019B, kCameraVendorB, 0xFFFF, 0, "vocam27/firm%X.HEX", "vocam27/fpga%X.rbf", data_23.data(),
     92},  // model_30
    {0x008B, kCameraVendorA, 0xFFFF, 0, "vocam28/firm%X.HEX", "vocam28/fpga%X.rbf", data_24.data(),
     112},  // model_31
    {0x01C5, kCameraVendorB, 0xFFFF, 0, "vocam29/firm%X.HEX", "vocam29/fpga%X.rbf", data_25.data(),
     72},  // model_32
    {0x01C8, kCameraVendorB, 0xFFFF, 0, "vocam30/firm%X.HEX", "vocam30/fpga%X.rbf", data_26.data(),
     92},  // model_33
};
const std::uint32_t camera_id_count = sizeof camera_ids / sizeof camera_ids[0];

}  // extern "C"

const model_table_entry *vo_camera_find(std::uint16_t product_id, std::uint16_t release) {
    const auto product = static_cast<std::uint16_t>(product_id & ~wire::kBootProductBit);
    for (std::uint32_t i = 0; i < camera_id_count; ++i) {
        const model_table_entry &e = camera_ids[i];
        if (e.product_id != product) continue;
        if (release == kAnyRelease || e.release_key == kAnyRelease || e.release_key == release)
            return &e;
    }
    return nullptr;
}

int vo_find_model_record(const model_table_entry *model, std::uint32_t tag,
                         const std::uint8_t **payload, std::uint32_t *length) {
    const std::uint8_t *at = model->model_data;
    std::uint64_t remaining = model->model_data_size;
    auto word = [](const std::uint8_t *p) {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    };
    for (;;) {
        if (remaining < 8) return VOCAM_EUNSUPPORTED;
        // The terminator may be the last four bytes of a blob whose listed size
        // is larger, so its length word is never read.
        const std::uint32_t record_tag = word(at);
        if (record_tag == 0) return VOCAM_EUNSUPPORTED;
        const std::uint32_t record_length = word(at + 4);
        if (record_length > remaining - 8) return VOCAM_EUNSUPPORTED;
        if (record_tag == tag) {
            *payload = at + 8;
            *length = record_length;
            return 0;
        }
        at += 8 + record_length;
        remaining -= 8 + record_length;
    }
}
