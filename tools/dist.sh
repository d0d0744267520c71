# shellcheck shell=bash
# ./dev dist: the release round trip, from an sdist of this checkout to its
# repaired wheel tested in a fresh virtual environment; artifacts in
# build-dist/.

DIST_DIR='build-dist'
DIST_TAG=

# The round trip a user's install takes: an sdist of this checkout, a wheel
# built from that sdist alone, both checked, the wheel repaired to a manylinux
# tag, installed into a fresh virtual environment and tested there from a
# folder outside the checkout. Leaves the sdist and the wheels in build-dist/.
cmd_dist() {
  [ "$#" = 0 ] || die "usage: ./dev dist"
  local started=$SECONDS work rc=0
  ensure_env
  lock "$DIST_DIR/.dev-lock" "another ./dev dist in this checkout"
  rm -rf -- "$DIST_DIR"/*.tar.gz "$DIST_DIR/wheel" "$DIST_DIR/wheelhouse"
  # The unpacked sdist, the virtual environment and the test folder lie
  # outside the checkout, so nothing of it can stand in for what is missing.
  work=$(in_env mktemp -d /tmp/quoril-dist.XXXXXX) || return
  dist_round_trip "$work" || rc=$?
  step "dist $(verdict "$rc") in $((SECONDS - started))s${DIST_TAG:+; manylinux tag $DIST_TAG}; artifacts in $DIST_DIR/"
  if [ "$rc" = 0 ]; then
    in_env rm -rf -- "$work"
  else
    note "kept $work for inspection"
  fi
  return "$rc"
}

# Runs the steps of cmd_dist in WORK; stops at the first failing step, but
# runs every example after a failing test run.
dist_round_trip() {
  local work=$1 out=$DIST_DIR sdist name wheel repaired rc=0
  # Debian's build dependencies come without Python metadata (pybind11 is
  # pybind11-dev), so build cannot check them; CMake finds them instead.
  local build=(python3 -m build --no-isolation --skip-dependency-check)

  step "sdist: ${build[*]} --sdist"
  in_env "${build[@]}" --sdist --outdir "$out" . || return
  sdist=$(ls "$out"/*.tar.gz)
  name=$(basename -- "$sdist" .tar.gz)
  step "wheel from the unpacked sdist in $work/$name"
  in_env tar -xzf "$sdist" -C "$work" || return
  in_env "${build[@]}" --wheel --outdir "$out/wheel" "$work/$name" || return
  wheel=$(ls "$out"/wheel/*.whl)

  step "twine check --strict"
  in_env twine check --strict "$sdist" "$wheel" || return
  step "auditwheel show"
  in_env auditwheel show "$wheel" || return
  step "auditwheel repair"
  in_env auditwheel repair --wheel-dir "$out/wheelhouse" "$wheel" || return
  repaired=$(ls "$out"/wheelhouse/*.whl)
  DIST_TAG=${repaired##*-}
  DIST_TAG=${DIST_TAG%.whl}
  in_env twine check --strict "$repaired" || return

  step "Installing $(basename -- "$repaired") into a fresh virtual environment"
  in_env python3 -m venv --system-site-packages "$work/venv" || return
  # NumPy and SciPy come from the system; nothing may come from build/python.
  local venv=(env -u PYTHONPATH PIP_DISABLE_PIP_VERSION_CHECK=1 "$work/venv/bin/python")
  in_env "${venv[@]}" -m pip install --no-index --quiet "$repaired" || return
  in_env mkdir "$work/run" || return
  step "Python tests against the installed wheel, from $work/run"
  in_env env -C "$work/run" QUORIL_TEST_INSTALLED=1 "QUORIL_WHEEL=$REPO/$repaired" \
    "${venv[@]}" -P -m pytest -p no:cacheprovider "$work/$name/tests/python" || rc=$?
  step "Examples against the installed wheel, from $work/run"
  local example last examples
  mapfile -t examples < <(in_env find "$work/$name/examples" -maxdepth 1 -name '*.py' | sort)
  for example in "${examples[@]}"; do
    if last=$(in_env env -C "$work/run" "${venv[@]}" -P "$example" 2>&1 | tail -n 1); then
      note "$(basename -- "$example"): $last"
    else
      note "$(basename -- "$example") FAILED: $last"
      rc=1
    fi
  done
  return "$rc"
}
