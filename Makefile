# Everything goes through the scripts so that a fresh machine needs nothing but `make`.
.PHONY: demo test setup bench clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

setup:
	scripts/setup.sh

bench:
	scripts/bench.sh

clean:
	rm -rf build .venv
