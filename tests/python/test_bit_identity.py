"""Results must not depend on the machine: the same bits on x86-64 and i386."""

import hashlib
import math
import struct

import pytest

from bits_probe import Inputs, lines
from conftest import bits
from kalemtri_py import AngleRadians, Quat, Vec3d

# The digest of each operation's lines of the probe over its random inputs (the module's own
# arithmetic), taken on x86-64. A change here means that operation's results changed their bits:
# x87 arithmetic, FMA contraction, a reordered formula or a kernel that rounds differently. A new
# operation adds its digest; the others stay.
OWN_DIGESTS = {
    "add": "968da260d2d63e4445c511720664221d4b2de97e8d4d33bfd19d5e92e0eba2fd",
    "sub": "78c0a0925bb1b1cb9c5d08c4d4c53d6efbda57107d07d580d6d7db68bbeb195b",
    "mul": "c5fed35a3d8e91b19136fc93d8e8995e59362a1822f79d6383f9f7c4ed7c12bf",
    "div": "c0df6804c92e8932df0496708447d251042c2075c9439ed7105818b3cc06bfbe",
    "dot": "47b2e18e8c53fc19bb74afa38a1477f6d45d942099b34a458faf45d168af58a3",
    "cross": "acbaa09876cd8ff4b751873f2e6a457835db46d29d8bd89ce54c82adc22b68e8",
    "magnitude": "2767badcd62e647474cdd951ad00021ef268aed04218b23a58f8d74c6962c6e1",
    "normalize": "1f349d557365f3ee9d2ed2a9a5355c72c3cf7c1267ab562fe323028b7685da90",
    "is_unit": "df422ff9df84fd91f9b74b6117f6df82717b174d08dbb7a4baa91a13b327a72e",
    "distance_to": "068a88b7f9bb8d354fd2f3cfea1ad4b5d475f2e24f758366c8e062e8ab78feda",
    "distance_to_line": "18fa4397a3684ce82be0dde48d12ff431501a8836ac11c673ad410720367de87",
    "project_onto_line": "232e3a6bd6ba33def950b570d347761201a0ebf8c228201149299a5bd5cea7c5",
    "project_onto_plane": "4164be2283f3a6ee3df49e10aa697b8f43254fbcefe0a2f464ee1461aa7b99b6",
    "scalar_triple_product": "844e9f73cb8537fb360e75c4576f71a5d591793fd9dbc6efe8649d2488c3f12f",
    "new_from_to": "16f8f804abdc3ae1e3d111463fbd6353a17021dd95a1712bfcd59dcadabdda51",
    "quat_magnitude": "7b8daa435b7070146cc84fd872dec603381a6dfb7c0ee34ea5dc8d9059629dfd",
    "quat_normalize": "ed62f785601acf2cef02a86b086bd002f619a7b8abd4c7af0f955f0625b4c871",
    "quat_rotate": "4ac297af6f6df30df4da4244765beed56dd9816aa193caab3e6e05179945fca1",
    "quat_rotate_unnormalised": "c8df586086a9bdfebae908daeab5b56ff7777aee572b71a19394aa1bb7e6ce4c",
    "rotation_matrix": "c33ff1ceb08a3190307a2d8ff64d68b023b2186d4f09a83662f4ce6980f85a50",
    "to_degrees": "c4f7a884c68f0a0a113380d886ee7e336902d24c0fe81734a63c92e6dd9d69a7",
    "to_radians": "7cb1b4b2bf0f17ea5594deefb3c60254b99c0fe68b123178d61643d8577a5414",
    "angle_arithmetic": "6ffb5361b190925831d6e9a9ac76e1e680af894f4923347b90ade106394d0e80",
    "plane_from_points": "306d5d391c10d702a34fe69250de290a7dcedba0c6b50f7a1764002d4af2d20f",
    "plane_from_point": "2d475eacbb16d4b9b837d09743f8049727addd67c04bdb2398af41dae49d96b5",
    "plane_distance_to_point": "40797af6cb933972b9fefcb510c5cde9be9a54898915c2c3600ad51edd9a8a65",
    "plane_line": "ae3b1bbba60f6c47a50f1cbfde9b6fa13bb9215162981c42ba0800ab0ae5849b",
    "circle_area": "4340fa21b4f7e7427fdb42b254ecde28482397799d902e6de34ff913d6ebd176",
    "circle_circle": "4960ca4a85bf88a72e59dd38699e351240e4ba3a4eb2cbde3baad83b06ec8bb1",
    "circle_point": "66766492fc97f9401a11b58f2331adc1017ea016ebf92c2c3e8c37050419a609",
    "batch_add": "8a76e4e989f79b153abf61352cae6775865955ac88cd4aa12f5163a3a83a8b04",
    "batch_sub": "bd7809daa1d179f490f9c00bc4479f1a473a6f0d5395c0d6c46ec20edb5d9ac3",
    "batch_mul": "3f91e1b6f842da75de620a0b2434f7c0572efcfbeb5a1240167e89996b7f54a1",
    "batch_rmul": "1102f8466faae66a2f8eb3a11352aec9975df8ff5f250af18d9f8cc2df3bfc99",
    "batch_truediv": "9f4e1d9cbe0af4010d96facb991c698d72688bf973bd8d9675ee6b5c6bf311bc",
    "batch_cross": "815159c916ceec89eadaadc08ee717495cec77b926df05113e962e39399533b7",
    "batch_normalize": "f0d23280b94be5c69352fff0da96833d30835f6eab687b08d6a6b762c2a3e7a8",
    "batch_collapse0": "15cb032bd8f6aafb6c46116d94aa13aaa3099ea1784e79d3057ac12ef66b4c41",
    "batch_collapse1": "bf45b57a2ec065e004a7dae01ded9cd04ec338ef39a841a539e709721076c540",
    "batch_collapse2": "8c15806015eb6f0e7937b05581c754eabc2ad02dc8ddb5fb0d0fef2396da31e2",
    "batch_rotate": "952fa84da8c28b0bfdff117dc568106578ba26849e8a82b3355567dd1685cdff",
    "batch_dot": "1614fdb1cbcdbcb5f98d1f960ccce2889b7c805fe7f85a92cf7ed21a1db230cd",
    "batch_magnitude": "088c48a398d41ba5efb82143e57606809857680d67d5378f10ae694d99bc8fd0",
    "batch_distance_to": "b1c385ada62bafe52c412d0e6a676866373d1f3a9f5b0158f672d2f889ed60db",
    "batch_is_unit": "f24db09230e976c0bb1acfab41d2ebb19e80032888a375bbd071a34ad13ed076",
    "batch_minimum_distance": "ab4b8b1496230d901d26aba0dc09f23cf198b12d2c4783cc4de801befc60b6f6",
    "quat_then": "71b0783e7dec14c8a50a9d9f80b0504424997873adeb50acb034b5faedd06f3f",
    "quat_inverse": "193f40555f819c140d2b9f708b9fffed571a886206b5b0e8b6ad6e6ab0bc7336",
    "to_matrix": "95107eb7a223a3faa2958a09bfe93d48ebd5dd2b712387e50a3a11d73494b534",
    "from_rotation_matrix": "c405a422efdabff139907588c9541d413c7c7c6e992454fa38d64f3d9509cd3e",
    "between": "ed33eeec9cb6dfb84fdb92fb9a75c925292a23c4f4ca13c2649f1dded1f0c212",
    "batch_quat_then": "546caf69aca1a519dbe190818f8354aa10198db14172bc1035ae7d2dc44ee113",
    "batch_quat_after": "ceb409c0036a39c8473ec459b43d3a850044b06a300dbbc337b1b92fe8021189",
    "batch_quat_inverse": "23a00487a7dd9089fcb1fe5f30e9c03c05b4542311a7fe5ac64ee2c8bdc13f73",
    "batch_quat_normalize": "9c742e49844a4622c5a0d8dcfe3556d623e9f5c6484820067524c6fac9b571a8",
    "batch_quat_rotate": "adcea2a3d6520a5fdcbb546239c09629750abe145b3da9430f8d207884a7f1b3",
    # The batch operations again over NaNs, infinities and zeros: NaN signs and payloads count.
    "batch_nan_add": "8725700db8946d1288f0a71b118dfc86e3e9c3b67abe3c8aea25f4f3c5739bda",
    "batch_nan_sub": "7c25549c6961d294e70f812e865f8e4bc0837908e128cb0d3d2ad4f04b385a60",
    "batch_nan_mul": "5ce80c8d9c97aac1444fcb20e14ca79aa90d9706a8428e98ff294a435342ab5f",
    "batch_nan_rmul": "e698a3e1284cdc39fea46c77f28d2968b417d29b718c3fcf2ffcee2c59945006",
    "batch_nan_truediv": "65c228be033f50b72ba681ba207e317954d75ea2d39639c2a0d067738a050918",
    "batch_nan_cross": "ef368c64d54725eb32187326b51417f2f1e15394525326cc6adaa4aa8d82fbb6",
    "batch_nan_normalize": "0064c3793d45cd03af7cb04dbc8f7c856a9e1e29d6c505261d38080d9e02d952",
    "batch_nan_collapse0": "1f5c476b8e8e8c482881cb5ba1af70978039832f224f6ff2db4271af39e5b47a",
    "batch_nan_collapse1": "075527f79a3929d742a8a7267e4e638e763415eb30e358b52c87cd92ce9bb569",
    "batch_nan_collapse2": "f9a93d8f7167368f5567cae7cce777336e36ef9428bfe1988e02909bbde50e6c",
    "batch_nan_rotate": "4c6f242893a4b98fd1de71648bb75920a913e17dfd68885d815571aa3b72010d",
    "batch_nan_dot": "9b0445b6edc887d5a6424725a34ebcef5ffcf71dc7541e59bd36dac4ab22f428",
    "batch_nan_magnitude": "27b0468b06aff559b7865ca1905cb5a524c85c7e4f922a1514d3d3a636a2f424",
    "batch_nan_distance_to": "2e968019ac366b63a2a8af91fe031f2858423b7f53a9144ea688b650cc01eccb",
    "batch_nan_is_unit": "2975a16d6eabe3ac93a07d3c7cd6360788e79d9268414ec7fde0dd566d84779d",
    "batch_nan_minimum_distance": "cca8de78196edbb4239105c1542761d68334a6e36d50f64577e730b10f87a567",
    "batch_nan_quat_then": "8c80758dc641b3b13cb1fe6652d30816af91d5042e7770c8457afa418f036b58",
    "batch_nan_quat_after": "18ad96d3bd88b269d68f1c6bdab4ea608e017dbbc9d6b0555a5761b23ff338fe",
    "batch_nan_quat_inverse": "5822a1af043a95bba0ea11493e79f19531b43fcfbf079463d63891a5f0b5deb6",
    "batch_nan_quat_normalize": "8267e409eda44927672f3e5186a49fba9765e3deac2ea7b64df7c01b930e174a",
    "batch_nan_quat_rotate": "23ecd209a005c7da7f3b950b81a9dbd89f9bc2ad7f49a5529b2a80e652e73a52",
    "quat_xyzw": "d0a36867204a052ac57bbdbc541a0240f790936045143e91510ab39faea4180c",
    "pose_apply": "c8c6c447b3bc98aa8e713c737243a59dba51218461f0d2c2927da47acebb1bbc",
    "pose_then": "3f46c2cc8969d35bca40bcf7464d28c0f66cd8d46a2336cecd264dcaedf570ca",
    "pose_inverse": "930fcfc1a5cc6515640f7cf0627d14eacd8dbfb549abf7d73fd4b95f0b7db6b6",
    "pose_matrix": "8f766b2a398e3a64c743c2120a7fdc73cf9fadd122f3480e5ff7d516e5167955",
    "batch_pose_then": "a0e09cb6705b9f6701dd1c4fdea8f9cf435aad1b843ab4fcc948d8e16fee1911",
    "batch_pose_after": "8d05c55ce694ac858fd96c9f2cbdd89804cfb826d6a312471e9910c8db717920",
    "batch_pose_inverse": "ca2b0e8bb42ee2d997c7114b4819fa943687845a9cdb1ed87804f209a362995f",
    "batch_pose_apply": "93f6a6d30453659c7575840f3f014d7f5019ccae0ec66fb6c63463b70db1a3bf",
    "batch_pose_apply_one": "2d85f1683a9f98d7140460d6ca84d939da169529d83eb5bd17c1fdc13eab25f0",
    "batch_nan_pose_then": "1efdd18557cee7e308279a08a09edd91972da17c2f5b2c623fc718c3db5c1079",
    "batch_nan_pose_after": "c327d70433c2340236f8922c7b5f7c4ee8c0fb3949b531c714c198ac8c7611fc",
    "batch_nan_pose_inverse": "ae31dff47e76c86aa294a8ed58cc3791c4f9b5327ffcb1d7a021c75483f8d329",
    "batch_nan_pose_apply": "2f46e7dcc079f9c9c947136e36dd2ea9f8cbbd3dbdc228d3c199aa62a2e892a7",
    "batch_nan_pose_apply_one": "d92f209bfb3c13a92a4fb13029df66e3d2e5c0b3958eeb023c417fc901c628e6",
    "batch_pose_fit": "fbaefae2e9b2b40fa375adf649a3757d39dfbe96977d2dba26383235ddc06187",
}


def digest(lines):
    return hashlib.sha256("\n".join(lines).encode()).hexdigest()


@pytest.fixture(scope="module")
def own_lines():
    """The probe's lines of the module's own arithmetic, by operation."""
    by_name = {}
    for line in lines(40):
        kind, name = line.split()[:2]
        if kind == "own":
            by_name.setdefault(name, []).append(line)
    return by_name


@pytest.mark.parametrize("name", OWN_DIGESTS)
def test_own_arithmetic_is_the_same_everywhere(own_lines, name):
    assert name in own_lines, f"the probe no longer computes {name}"
    assert digest(own_lines[name]) == OWN_DIGESTS[name]


def test_every_operation_of_the_probe_has_a_digest(own_lines):
    missing = {name: digest(found) for name, found in own_lines.items() if name not in OWN_DIGESTS}
    assert not missing, f"record the digests of new operations in OWN_DIGESTS: {missing}"


@pytest.fixture(scope="module")
def angles():
    inputs = Inputs(7)
    return [inputs.number(-30, 5) for _ in range(3000)] + [0.0, -0.0, 1e-300, math.pi, 1e22]


@pytest.mark.parametrize(
    "method, reference",
    [("sin", math.sin), ("cos", math.cos), ("tan", math.tan)],
)
def test_trigonometry_is_the_platforms(angles, method, reference):
    # The platform's libm, whose last bit may differ between machines: only the local one decides.
    assert [bits(getattr(AngleRadians(t), method)()) for t in angles] == [
        bits(reference(t)) for t in angles
    ]


def test_from_axis_angle_uses_the_platforms_sine_and_cosine(angles):
    for t in angles:
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(t))
        assert bits(q.w) == bits(math.cos(t * -0.5)) and bits(q.k) == bits(math.sin(t * -0.5)), t


def test_signalling_nan_reaches_the_module_as_a_nan():
    # The i386 interpreter quiets it while unpacking; either way the module stores what it gets.
    value = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    assert math.isnan(value) and bits(Vec3d(value, 0, 0).x) == bits(value)
