#include "notification/proplist.h"

#include <cstring>

#include "port/memory.h"

namespace vavevar {
namespace {

void release_entry(lumo_property &entry) {
    lumo_free(const_cast<char *>(entry.name));
    lumo_free(const_cast<char *>(entry.value));
}

lumo_property *find(const lumo_proplist *list, const char *name) {
    for (std::int32_t i = 0; i < list->count; ++i)
        if (std::strcmp(list->entries[i].name, name) == 0) return &list->entries[i];
    return nullptr;
}

}  // namespace

lumo_proplist *lumo_proplist_create() noexcept {
    auto *list = static_cast<lumo_proplist *>(lumo_malloc(sizeof(lumo_proplist)));
    if (list != nullptr) *list = lumo_proplist{nullptr, 0, 0};
    return list;
}

void lumo_proplist_destroy(lumo_proplist *list) noexcept {
    for (std::int32_t i = 0; i < list->count; ++i) release_entry(list->entries[i]);
    lumo_free(list->entries);
    lumo_free(list);
}

const lumo_property *lumo_proplist_put(lumo_proplist *list, const char *name,
                                       const char *value) noexcept {
    if (lumo_property *entry = find(list, name)) {
        char *new_value = lumo_strdup(value);
        if (new_value == nullptr) return nullptr;
        lumo_free(const_cast<char *>(entry->value));
        entry->value = new_value;
        return entry;
    }

    char *new_name = lumo_strdup(name);
    char *new_value = new_name != nullptr ? lumo_strdup(value) : nullptr;
    if (new_value == nullptr) {
        lumo_free(new_name);
        return nullptr;
    }

    if (list->count == list->capacity) {
        if (list->capacity > INT32_MAX - kProplistStep) {
            lumo_free(new_name);
            lumo_free(new_value);
            return nullptr;
        }
        std::int32_t capacity = list->capacity + kProplistStep;
        auto *entries = static_cast<lumo_property *>(
            lumo_malloc(sizeof(lumo_property) * static_cast<std::size_t>(capacity)));
        if (entries == nullptr) {
            lumo_free(new_name);
            lumo_free(new_value);
            return nullptr;
        }
        if (list->count > 0)
            std::memcpy(entries, list->entries, sizeof(lumo_property) * static_cast<std::size_t>(list->count));
        lumo_free(list->entries);
        list->entries = entries;
        list->capacity = capacity;
    }

    lumo_property *entry = &list->entries[list->count++];
    entry->name = new_name;
    entry->value = new_value;
    return entry;
}

const char *lumo_proplist_get(const lumo_proplist *list, const char *name) noexcept {
    const lumo_property *entry = find(list, name);
    return entry != nullptr ? entry->value : nullptr;
}

const lumo_property *lumo_proplist_getIndex(const lumo_proplist *list, std::int32_t index) noexcept {
    return &list->entries[index];
}

std::int32_t lumo_proplist_count(const lumo_proplist *list) noexcept {
    return list != nullptr ? list->count : 0;
}

lumo_proplist *lumo_proplist_copy(const lumo_proplist *list) noexcept {
    if (list == nullptr) return nullptr;
    lumo_proplist *copy = lumo_proplist_create();
    if (copy == nullptr) return nullptr;
    if (list->capacity > 0) {
        copy->entries = static_cast<lumo_property *>(
            lumo_malloc(sizeof(lumo_property) * static_cast<std::size_t>(list->capacity)));
        if (copy->entries == nullptr) {
            lumo_free(copy);
            return nullptr;
        }
        copy->capacity = list->capacity;
    }
    for (std::int32_t i = 0; i < list->count; ++i) {
        char *name = lumo_strdup(list->entries[i].name);
        char *value = name != nullptr ? lumo_strdup(list->entries[i].value) : nullptr;
        if (value == nullptr) {
            lumo_free(name);
            lumo_proplist_destroy(copy);
            return nullptr;
        }
        copy->entries[i] = lumo_property{name, value};
        copy->count = i + 1;
    }
    return copy;
}

}  // namespace vavevar
