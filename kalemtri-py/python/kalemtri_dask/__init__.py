"""Point clouds on Dask, bit-equal to one ``kalemtri_py.VecList``.

A point cloud is a dask array of float64 with shape ``(N, 3)``: one point per row, x, y, z in the
columns. It must be chunked along the rows only, so that every chunk holds whole points. An array
split into more than one chunk along the columns is rechunked to one column chunk first
(``points.rechunk({1: 3})``, which only joins the column pieces of each row chunk and moves no
data between row chunks). Native float32 is taken too where ``VecList.from_buffer`` takes it (each
value widened exactly to float64). Any other dtype, a shape other than ``(N, 3)``, or a masked
array (whose mask would be lost) raises. Anything that ``dask.array.asarray`` accepts (a numpy
array, a ``VecList``) is taken as one chunk.

``nearest`` and ``rotate`` read each float64 chunk in place (``VecList.borrow``), other chunks and
``map_vec_list`` through a copy (``VecList.from_buffer``); results come back through the
``VecList`` buffer (``numpy.asarray``); no Python object is made per point. Each point's result is
computed by the same code as on one machine, so the results are bit-for-bit those of one
``VecList`` of all the points, for any chunking and on any scheduler: threads, processes or a
``dask.distributed`` cluster. Functions that build a graph (``map_vec_list``, ``rotate``) return
lazy dask arrays; ``nearest`` computes on the active scheduler and returns its answer.

``nearest_many`` and ``within_many`` build a ``VecTree`` per chunk and give the answers of one
``VecTree`` of all the points, to the bit.

On a ``dask.distributed`` worker, every task caps kalemtri's threads at the worker's own thread
count (``kalemtri_py.set_max_threads``) while it runs, so workers sharing a host never start a
pool as large as the host each. kalemtri holds the interpreter lock while it computes, so a
cluster gets the most out of it with one worker process per machine and a thread per core
(``dask worker ADDRESS``, Dask's default). The workers need ``kalemtri`` installed, as for any
function shipped to them.

dask is imported on first use; ``pip install kalemtri[dask]`` installs it.
"""

from ._cloud import map_vec_list, nearest, rotate
from ._pickling import FnError
from ._tree import nearest_many, within_many

__all__ = ["FnError", "map_vec_list", "nearest", "rotate", "nearest_many", "within_many"]

# The public names belong to the package: pickles and error reports name them as kalemtri_dask's.
for _public in (FnError, map_vec_list, nearest, rotate, nearest_many, within_many):
    _public.__module__ = __name__
del _public

# nearest works through a chunk it must copy in slices of this many points (6 MiB of float64), so
# that each slice's copy into a VecList is still in cache when it is used. Smaller slices lose more
# when every allocation is a fresh mapping, as on dask's workers, whose nanny sets
# MALLOC_TRIM_THRESHOLD_ and so turns off glibc's reuse of large blocks.
_SLICE = 1 << 18
