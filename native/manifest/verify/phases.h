// The verification phases, one free function each, run in order by the driver.
#pragma once

#include "manifest/verify/context.h"

namespace zm {

void check_core_fields(VerifyContext& ctx);               // schema_version .. embedding.dim
void check_artifact_declaration(VerifyContext& ctx);      // artifact record, no file access
void check_row_identity_declaration(VerifyContext& ctx);  // JSON-lines declaration
void check_auxiliary_declarations(VerifyContext& ctx);    // names, paths, digests, count
void check_optional_fields(VerifyContext& ctx);           // optional embedding fields, build
void check_extension_keys(VerifyContext& ctx);
void check_artifact_file(VerifyContext& ctx);  // resolve, hash, probe, compare
void check_auxiliary_files(VerifyContext& ctx);
void check_row_identity_file(VerifyContext& ctx);
void check_encoder_distortion(VerifyContext& ctx);  // only with an encoder_distortion block
void check_calibration(VerifyContext& ctx);         // only with a calibration block
void check_attestations(VerifyContext& ctx);

}  // namespace zm
