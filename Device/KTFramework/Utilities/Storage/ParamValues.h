// Lists of parameters as they travel: an Array variant whose elements are
// entries [value, parameter ID as Int32, descriptor]. That element order is
// the wire form and the host's. ParamRanges and ParamDescriptors are lists the
// host fills and the library forwards unread.
#pragma once

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/ParamDescriptor.h"
#include "KTFramework/Utilities/Storage/ParamValue.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

class ParamValues : public Variant
{
public:
    // Results of GetValue and GetParamValue (named in Defs/Result.h).
    static constexpr int RESULT_NO_SUCH_ENTRY = KT::RESULT_NO_SUCH_ENTRY;
    static constexpr int RESULT_MALFORMED_ENTRY = KT::RESULT_MALFORMED_ENTRY;
    static constexpr unsigned int NO_PARAM_ID = 0xFFFFFFFFu;

    ParamValues();
    ParamValues(const ParamValues& other) = default;
    ParamValues& operator=(const ParamValues& other) = default;
    ~ParamValues() override;

    int GetCount() const;
    // 0, RESULT_NO_SUCH_ENTRY or RESULT_MALFORMED_ENTRY; after a failure the
    // value is Empty, the ID NO_PARAM_ID and the descriptor untouched.
    [[nodiscard]] int GetValue(unsigned int index, Variant& value, unsigned int& paramID,
                               Variant& descriptor) const;
    [[nodiscard]] int GetParamValue(unsigned int index, ParamValue& out) const;
    // Replaces the whole list by one entry. Always 0.
    int SetOne(const ParamDescriptor& descriptor, const Variant& value);
};

static_assert(sizeof(ParamValues) == sizeof(Variant), "a list adds no fields to its variant");

class ParamRanges : public Variant
{
public:
    ParamRanges() = default;
    ParamRanges(const ParamRanges& other) = default;
    ParamRanges& operator=(const ParamRanges& other) = default;
    ~ParamRanges() override;
};

class ParamDescriptors : public Variant
{
public:
    ParamDescriptors() = default;
    ParamDescriptors(const ParamDescriptors& other) = default;
    ParamDescriptors& operator=(const ParamDescriptors& other) = default;
    ~ParamDescriptors() override;
};

// The host builds these and passes them by reference: they stay plain variants.
static_assert(sizeof(ParamRanges) == sizeof(Variant), "ranges add no fields to their variant");
static_assert(sizeof(ParamDescriptors) == sizeof(Variant), "descriptors add no fields to their variant");

} // namespace KT
