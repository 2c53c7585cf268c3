#include "crashreporter/async/zvcrash_async_image_list.h"

#include <cstdlib>
#include <new>

namespace {
using List = zvcrash::async::async_list<zvcrash_async_image*>;

void releaseImage(zvcrash_async_image* image) {
    zvcrash_async_image_free(image);
    std::free(image);
}

void publishImage(List::node* node) { node->value->list_node = node; }
}  // namespace

void zvcrash_async_image_list_init(zvcrash_async_image_list* list, zvcrash_async_task_t task) {
    list->task = task;
    list->list = new List();
    list->list->release_value = &releaseImage;
    list->list->on_publish = &publishImage;
}

void zvcrash_async_image_list_free(zvcrash_async_image_list* list) {
    if (list->list == nullptr) return;
    list->list->free_all();
    delete list->list;
    list->list = nullptr;
}

bool zvcrash_async_image_list_append(zvcrash_async_image_list* list, uint64_t header_address, const char* path) {
    auto* image = static_cast<zvcrash_async_image*>(std::calloc(1, sizeof(zvcrash_async_image)));
    if (image == nullptr) return false;
    if (zvcrash_async_image_init(image, list->task, path, header_address) != ZVCRASH_OK) {
        std::free(image);
        return false;
    }
    list->list->append_node(image);
    return true;
}

void zvcrash_async_image_list_remove(zvcrash_async_image_list* list, uint64_t header_address) {
    list->list->remove_first([header_address](zvcrash_async_image* image) { return zvcrash_async_image_base(image) == header_address; });
}

void zvcrash_async_image_list_set_reading(zvcrash_async_image_list* list, bool reading) { list->list->set_reading(reading); }

zvcrash_async_image* zvcrash_async_image_containing_address(zvcrash_async_image_list* list, uint64_t address) {
    for (List::node* node = list->list->first(); node != nullptr; node = List::after(node)) {
        if (zvcrash_async_image_contains_address(node->value, address)) return node->value;
    }
    return nullptr;
}

zvcrash_async_image* zvcrash_async_image_list_next(zvcrash_async_image_list* list, const zvcrash_async_image* current) {
    List::node* node = current == nullptr ? list->list->first() : List::after(current->list_node);
    return node == nullptr ? nullptr : node->value;
}
