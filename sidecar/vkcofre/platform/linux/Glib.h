#pragma once
// Owners for the GLib objects the backend holds; every handle is released on every path.
#include <glib-object.h>

#include <memory>
#include <string>

struct SueltaObjeto {
    void operator()(gpointer objeto) const { g_object_unref(objeto); }
};
template <class T>
using Propio = std::unique_ptr<T, SueltaObjeto>;

struct SueltaTabla {
    void operator()(GHashTable* tabla) const { g_hash_table_unref(tabla); }
};
using TablaPropia = std::unique_ptr<GHashTable, SueltaTabla>;

struct SueltaVariante {
    void operator()(GVariant* variante) const { g_variant_unref(variante); }
};
using VariantePropia = std::unique_ptr<GVariant, SueltaVariante>;

// Collects a GError out-parameter and owns whatever it receives.
class RecogeError {
  public:
    GError** out() { return &error_; }
    ~RecogeError() {
        if (error_ != nullptr) g_error_free(error_);
    }
    RecogeError() = default;
    RecogeError(const RecogeError&) = delete;
    RecogeError& operator=(const RecogeError&) = delete;
    const GError* get() const { return error_; }
    explicit operator bool() const { return error_ != nullptr; }
    bool es(GQuark dominio, int codigo) const {
        return error_ != nullptr && g_error_matches(error_, dominio, codigo);
    }
    std::string mensaje() const { return error_ != nullptr ? error_->message : std::string(); }

  private:
    GError* error_ = nullptr;
};
