# Everything goes through the scripts so that a fresh machine needs nothing but `make`.
.PHONY: demo test setup bench wheel fuzz lint clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

setup:
	scripts/setup.sh

bench:
	scripts/bench.sh

# A manylinux wheel per Python version, each carrying its own OpenBLAS, and the sdist, in dist/.
wheel:
	scripts/wheel.sh

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_SEED=$(FUZZ_SEED) scripts/fuzz.sh

# clang-format and clang-tidy, checking only; scripts/lint.sh --fix formats the tree.
lint:
	scripts/lint.sh

clean:
	rm -rf build .venv dist
