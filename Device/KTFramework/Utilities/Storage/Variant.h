// The tagged value that carries every piece of data crossing the library: a
// scalar kept inline, or owned bytes (buffer, text, array of element records).
// Owned bytes come only from the virtual AllocBuffer/FreeBuffer pair, so a
// derived class decides where they live; such a class must Clear() in its own
// destructor, because the base destructor no longer reaches its FreeBuffer.
// The value is defined in Variant.cpp, its byte record and the Array kind in
// VariantRecord.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KT
{

class Variant
{
public:
    // The codes are part of the serialised record and of the host's layout.
    enum Type : unsigned int
    {
        TYPE_EMPTY = 0,
        TYPE_BOOL = 1,
        TYPE_INT8 = 2,
        TYPE_UINT8 = 3,
        TYPE_INT16 = 4,
        TYPE_UINT16 = 5,
        TYPE_INT32 = 6,
        TYPE_UINT32 = 7,
        TYPE_FLOAT = 8,
        TYPE_DOUBLE = 9,
        TYPE_INT64 = 10,
        TYPE_UINT64 = 11,
        TYPE_POINTER = 12,
        TYPE_CONST_POINTER = 13,
        TYPE_BUFFER = 14,
        TYPE_STRING = 15,
        TYPE_ARRAY = 16,
    };

    // Bytes of the header that opens every serialised record.
    static constexpr size_t RECORD_HEADER_SIZE = 12;
    static constexpr unsigned int RECORD_VERSION = 1;
    // How many levels of nested Arrays a walk over a value descends: the value
    // itself is level 1, the elements of a level-n Array are level n + 1. A
    // peer's record can nest as deep as its bytes allow (12 bytes a level), so
    // walks that recurse per level (the Array ordering, the text forms) treat
    // an Array past this level as a whole instead of descending into it.
    static constexpr unsigned int MAX_NESTING_DEPTH = 64;

    Variant() noexcept;
    Variant(int value) noexcept;
    Variant(const Variant& other);
    Variant& operator=(const Variant& other);
    Variant& operator=(int value);

    // The order of the virtual operations is the host's: do not reorder.
    virtual ~Variant();

    virtual bool GetBool() const;
    virtual int8_t GetInt8() const;
    virtual int16_t GetInt16() const;
    virtual int32_t GetInt32() const;
    virtual int64_t GetInt64() const;
    virtual uint8_t GetUInt8() const;
    virtual uint16_t GetUInt16() const;
    virtual uint32_t GetUInt32() const;
    virtual uint64_t GetUInt64() const;
    virtual float GetFloat() const;
    virtual double GetDouble() const;
    virtual const void* GetConstPointer(size_t& size) const;
    virtual void* GetPointer(size_t& size);
    virtual const char* GetCStr() const;
    virtual void* AllocBuffer(size_t size);
    virtual void FreeBuffer(void* data);

    Type GetType() const noexcept { return static_cast<Type>(mType); }
    bool IsEmpty() const noexcept { return mType == TYPE_EMPTY; }
    bool IsNegative() const;
    void Clear();

    // Every setter clears first and returns the kind held afterwards; a value
    // that cannot be stored leaves the variant Empty and returns TYPE_EMPTY.
    Type Set(Type type, const void* data, size_t size);
    Type SetBuffer(const void* data, size_t size);
    Type Set(const char* text);
    Type Set(int value);
    Type Set(const Variant& source);

    bool operator==(const Variant& other) const;
    bool operator!=(const Variant& other) const { return !(*this == other); }
    bool operator<(const Variant& other) const;

    // The serialised record: total length, version and kind as little-endian
    // 32-bit words, then the payload. An Array's payload is its element
    // records back to back.
    static uint32_t GetSerializedSize(const Variant& value);
    [[nodiscard]] static int Serialize(const Variant& value, unsigned char* destination, size_t capacity);
    [[nodiscard]] static int Deserialize(Variant& value, const unsigned char* source, size_t length);

    Type SetArray(const Variant* items, size_t count);
    Type SetArray(const Variant* const* items, size_t count);
    size_t GetArrayLength() const;
    // 0, or RESULT_NO_ELEMENT (out then Empty).
    [[nodiscard]] int GetArrayElement(size_t index, Variant& out) const;

protected:
    // Data pointer of the kinds from TYPE_POINTER up, kept in the value slot.
    void* GetData() const noexcept;
    void SetData(void* data) noexcept;

    // 8-byte value slot: a scalar little-endian from byte 0 with every byte
    // beyond its width zero, or the data pointer.
    alignas(8) unsigned char mValue[8];
    uint64_t mSize;
    uint32_t mType;

private:
    static void CheckLayout();

    // operator< for a value at the given nesting level.
    bool IsLess(const Variant& other, unsigned int level) const;
    uint64_t GetSlotBits() const noexcept;
    uint64_t ReadData(size_t width) const noexcept;
    uint64_t GetTextLength() const noexcept;
    int64_t GetExtendedInteger() const noexcept;
    bool OwnsBytes(const void* data, size_t size) const noexcept;
    Type SetText(const char* text, size_t length);
    template <class ItemAt>
    Type SetArrayFrom(ItemAt itemAt, size_t count);
};

static_assert(sizeof(Variant) == 32, "the host's Variant is 32 bytes");
static_assert(alignof(Variant) == 8, "the host's Variant is 8-byte aligned");

} // namespace KT
